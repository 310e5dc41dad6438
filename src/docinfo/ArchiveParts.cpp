#include "docinfo/ArchiveParts.h"

#include <qpdf/QPDFObjectHandle.hh>

#include <lcms2.h>

#include <stdexcept>

std::string ArchiveParts::SrgbProfile()
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (!srgb)
        return {};
    std::string bytes;
    cmsUInt32Number size = 0;
    if (cmsSaveProfileToMem(srgb, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!cmsSaveProfileToMem(srgb, bytes.data(), &size))
            bytes.clear();
    }
    cmsCloseProfile(srgb);
    return bytes;
}

void ArchiveParts::AddOutputIntent(QPDF& doc)
{
    const std::string profile = SrgbProfile();
    if (profile.empty())
        throw std::runtime_error("the sRGB colour profile for the archive document could not be made");
    QPDFObjectHandle icc = QPDFObjectHandle::newStream(&doc, profile);
    icc.getDict().replaceKey("/N", QPDFObjectHandle::newInteger(3));
    const std::string name = "sRGB IEC61966-2.1";
    QPDFObjectHandle intent = QPDFObjectHandle::newDictionary();
    intent.replaceKey("/Type", QPDFObjectHandle::newName("/OutputIntent"));
    intent.replaceKey("/S", QPDFObjectHandle::newName("/GTS_PDFA1"));
    intent.replaceKey("/OutputConditionIdentifier", QPDFObjectHandle::newString(name));
    intent.replaceKey("/RegistryName", QPDFObjectHandle::newString("http://www.color.org"));
    intent.replaceKey("/Info", QPDFObjectHandle::newString(name));
    intent.replaceKey("/DestOutputProfile", icc);
    doc.getRoot().replaceKey("/OutputIntents", QPDFObjectHandle::newArray({doc.makeIndirectObject(intent)}));
}

const char* ArchiveParts::IdentificationNamespace()
{
    return "    xmlns:pdfaid=\"http://www.aiim.org/pdfa/ns/id/\"";
}

const char* ArchiveParts::IdentificationProperties()
{
    return "   <pdfaid:part>2</pdfaid:part>\n"
           "   <pdfaid:conformance>B</pdfaid:conformance>\n";
}
