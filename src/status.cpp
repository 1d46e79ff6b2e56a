#include "carovel/status.h"

namespace _Carovel {

const char* StatusText(Status status) {
    switch (status) {
        case Status::kOk:
            return "ok";
        case Status::kNotOpen:
            return "not open";
        case Status::kAlreadyOpen:
            return "the mixer is already open";
        case Status::kBadArgument:
            return "invalid argument";
        case Status::kUnsupportedFormat:
            return "unsupported PCM format";
        case Status::kOutOfMemory:
            return "out of memory";
        case Status::kNoProgress:
            return "the converter made no progress";
        case Status::kInsideCallback:
            return "not allowed from inside the mixer's callback";
        case Status::kThreadStartFailed:
            return "the output thread could not be started";
        case Status::kNotHostDriven:
            return "the mixer's passes run on its output thread, not on the host's";
    }
    return "unknown status";
}

}  // namespace _Carovel
