// A whole carovel-mix run: the safety checks, the inputs, the mix (and its
// second pass for --normalize), the outputs, the warnings and the summary.
#ifndef CAROVEL_MIX_MIX_JOB_H
#define CAROVEL_MIX_MIX_JOB_H

#include "options.h"

namespace carovel_mix {

// Runs the mix the options describe. Returns the exit status (0); throws
// ToolError or Interrupted.
int RunMixJob(const Options& options);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_MIX_JOB_H
