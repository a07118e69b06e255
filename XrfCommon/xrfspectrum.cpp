#include "xrfspectrum.h"

QByteArray XrfSpectrum::binaryData() const
{
    return XrfFields::channelBytes(m_channels);
}

int XrfSpectrum::fromByteArrayToInt(const QByteArray &bytes, bool replace)
{
    if (replace)
        m_channels.clear();
    return XrfFields::appendChannels(bytes, m_channels);
}

XRF_FIELDS_DEFINE(XrfSpectrum, XRF_SPECTRUM_FIELDS)
