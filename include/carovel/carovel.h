// carovel: real-time PCM audio mixing.
#ifndef CAROVEL_CAROVEL_H
#define CAROVEL_CAROVEL_H

#include "carovel/mixer.h"
#include "carovel/wave_convert.h"
#include "carovel/wave_mix.h"

#endif  // CAROVEL_CAROVEL_H
