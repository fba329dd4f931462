# Build options shared by every target. Flags are applied per target through
# frameshare_apply_defaults(), never globally.
option(FRAMESHARE_SANITIZE_ADDRESS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(FRAMESHARE_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(FRAMESHARE_WERROR "Treat warnings as errors" OFF)

if(FRAMESHARE_SANITIZE_ADDRESS AND FRAMESHARE_SANITIZE_THREAD)
  message(FATAL_ERROR "AddressSanitizer and ThreadSanitizer cannot be combined; pick one.")
endif()

# Warnings and sanitizers, for C and C++ targets alike.
function(frameshare_apply_checks target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(FRAMESHARE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(FRAMESHARE_SANITIZE_ADDRESS)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(FRAMESHARE_SANITIZE_THREAD)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()

function(frameshare_apply_defaults target)
  target_compile_features(${target} PRIVATE cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  frameshare_apply_checks(${target})
endfunction()
