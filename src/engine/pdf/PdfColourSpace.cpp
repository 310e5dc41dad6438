#include "engine/pdf/PdfColourSpace.h"

#include "engine/picture/ColourProfile.h"

QPDFObjectHandle PdfColourSpace::For(QPDF& pdf, const QByteArray& iccProfile, int components)
{
    const char* device = components == 1 ? "/DeviceGray" : components == 3 ? "/DeviceRGB" : "/DeviceCMYK";
    if (iccProfile.isEmpty() || ColourProfile::Channels(iccProfile) != components)
        return QPDFObjectHandle::newName(device);
    QPDFObjectHandle icc = QPDFObjectHandle::newStream(&pdf, iccProfile.toStdString());
    icc.getDict().replaceKey("/N", QPDFObjectHandle::newInteger(components));
    icc.getDict().replaceKey("/Alternate", QPDFObjectHandle::newName(device));
    return QPDFObjectHandle::newArray({QPDFObjectHandle::newName("/ICCBased"), icc});
}
