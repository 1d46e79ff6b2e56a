// Placeholder until the converter lands: every Open fails.
#include "carovel/wave_convert.h"

namespace _Carovel {

class CConvertStream {};

CWaveConvert::CWaveConvert() = default;
CWaveConvert::~CWaveConvert() = default;
CWaveConvert::CWaveConvert(const CWaveConvert& other) = default;
CWaveConvert& CWaveConvert::operator=(const CWaveConvert& other) = default;

bool CWaveConvert::Open(unsigned short, unsigned short, unsigned short, unsigned short,
                        unsigned short, unsigned short) {
    m_hStream.reset();
    return false;
}
void CWaveConvert::Close() { m_hStream.reset(); }
bool CWaveConvert::Convert(const unsigned char*, unsigned long&, unsigned char*, unsigned long&) {
    return false;
}

}  // namespace _Carovel
