#include "engine/JpegEncoder.h"

#include <turbojpeg.h>

#include <algorithm>

JpegEncoder::JpegEncoder() : m_handle(tjInitCompress()) {}

JpegEncoder::~JpegEncoder()
{
    if (m_data)
        tjFree(m_data);
    if (m_handle)
        tjDestroy(static_cast<tjhandle>(m_handle));
}

bool JpegEncoder::Encode(const unsigned char* rows, int width, int pitch, int height, Pixels pixels,
                         int quality, bool bottomUp)
{
    if (!m_handle) {
        m_error = "the JPEG encoder could not be started";
        return false;
    }
    quality = std::clamp(quality, 1, 100);
    int format = TJPF_BGR;
    int subsampling = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
    switch (pixels) {
    case Pixels::Bgr: format = TJPF_BGR; break;
    case Pixels::Bgrx: format = TJPF_BGRX; break;
    case Pixels::Gray:
        format = TJPF_GRAY;
        subsampling = TJSAMP_GRAY;
        break;
    }
    const int flags = TJFLAG_ACCURATEDCT | (bottomUp ? TJFLAG_BOTTOMUP : 0);
    unsigned long size = 0;
    if (tjCompress2(static_cast<tjhandle>(m_handle), rows, width, pitch, height, format, &m_data,
                    &size, subsampling, quality, flags) != 0) {
        m_error = QString::fromUtf8(tjGetErrorStr2(static_cast<tjhandle>(m_handle)));
        m_size = 0;
        return false;
    }
    m_size = size;
    return true;
}
