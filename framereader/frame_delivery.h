// Hands the current colour frame to the caller's record.
#pragma once

#include "framereader.h"
#include "shared_data.h"

// Copies the colour frame from the mapped segment straight into
// output->data under rgbMutex and fills the record. The frame's size comes
// from shared memory and is not trusted. Returns 0, or an errno with the
// caller's buffer and record untouched: EOVERFLOW for a size above the
// capacity, ETIMEDOUT when rgbMutex stays held longer than
// kRecordLockBound, ENOTRECOVERABLE when rgbMutex is unusable.
int deliverFrame(SharedData* segment, FrameOutput* output);
