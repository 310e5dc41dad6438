#pragma once
// The PDF/A-2b rules our archive documents keep, checked on qpdf's JSON
// view of a document (qpdf --json, streams decoded where qpdf can), with
// the XMP packet read by an XML parser. Debian has no PDF/A validator, so
// this is the check the tests rely on.
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace pdfa {

// The rules, by the names Broken() gives.
inline const QStringList& RuleNames()
{
    static const QStringList names = {
        "no encryption",      "trailer ID",       "output intent",    "XMP well-formed", "PDF/A identification",
        "information in XMP", "fonts embedded",   "no LZW",           "no JavaScript",  "no external streams",
        "transparency",       "no device CMYK",   "page size",
    };
    return names;
}

// qpdf's JSON (version 2) of `pdf`, its streams' data inline; empty when
// qpdf cannot read it.
QJsonObject Read(const QString& pdf);

// The rules the document breaks, each once, with what was seen after ": ".
QStringList Broken(const QJsonObject& json);

// The objects of the JSON ("obj:N 0 R" and "trailer"), for changing them.
QJsonObject Objects(const QJsonObject& json);
QJsonObject WithObjects(QJsonObject json, const QJsonObject& objects);

} // namespace pdfa
