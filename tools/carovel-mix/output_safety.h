// The checks made before any output is written: no output may replace an
// input, and no existing file the user cannot write is replaced.
#ifndef CAROVEL_MIX_OUTPUT_SAFETY_H
#define CAROVEL_MIX_OUTPUT_SAFETY_H

#include "options.h"

namespace carovel_mix {

// Throws ToolError naming the output when one of the outputs (the mix,
// --master-out, --minus-out, standard output redirected to a file) is the
// same file as an input (same device and inode, however it is named: links
// and symbolic links included), or is an existing file that the user cannot
// write or that has no write permission at all, or a directory, or when two
// outputs are the same file.
void CheckOutputsAreSafe(const Options& options);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_OUTPUT_SAFETY_H
