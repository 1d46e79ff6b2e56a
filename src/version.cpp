#include "carovel/version.h"

namespace _Carovel {

const char* GetVersionString() {
    return CAROVEL_VERSION_STRING;
}

unsigned GetVersionNumber() {
    return static_cast<unsigned>(CAROVEL_VERSION_NUMBER);
}

}  // namespace _Carovel
