// Hands a private copy of the colour frame to the caller's record.
#pragma once

#include "framereader.h"
#include "shared_data.h"

// Copies the payload of `frame` into output->data and fills the record.
// The frame's size comes from shared memory and is not trusted: a size above
// the capacity copies nothing. Returns 0, or EOVERFLOW for such a size.
int deliverFrame(const RgbFrame& frame, FrameOutput* output);
