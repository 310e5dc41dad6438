#include "engine/job/PageOptions.h"

#include "engine/job/OptionsFile.h"

namespace PageOptions {

PageLayout Read(const OptionsFile& file)
{
    PageLayout layout;
    QString ignored;
    const auto value = [&](const char* key) { return file.Value(QString::fromLatin1(key)); };
    if (!value("page.size").isEmpty())
        layout.SetSize(value("page.size"), &ignored);
    if (!value("page.orientation").isEmpty())
        layout.SetOrientation(value("page.orientation"), &ignored);
    if (!value("page.margin").isEmpty())
        layout.SetMargin(value("page.margin"), &ignored);
    if (!value("page.fit").isEmpty())
        layout.SetFit(value("page.fit"), &ignored);
    if (!value("page.maxppi").isEmpty())
        layout.SetMaxPpi(value("page.maxppi"), &ignored);
    const auto onOff = [&](const char* key, bool* flag) {
        if (value(key) == QLatin1String("on") || value(key) == QLatin1String("off"))
            *flag = value(key) == QLatin1String("on");
    };
    onOff("page.rotate", &layout.rotatePages);
    onOff("page.deskew", &layout.deskew);
    if (!layout.Problem().isEmpty())
        layout.margin = PageLayout::Length();
    if (!layout.Problem().isEmpty())
        layout.SetSize(QStringLiteral("picture"), &ignored);
    return layout;
}

void Write(const PageLayout& layout, OptionsFile* file)
{
    file->SetValue(QStringLiteral("page.size"), layout.SizeText());
    file->SetValue(QStringLiteral("page.orientation"), layout.OrientationText());
    file->SetValue(QStringLiteral("page.margin"), layout.margin.Text());
    file->SetValue(QStringLiteral("page.fit"), layout.FitText());
    file->SetValue(QStringLiteral("page.maxppi"), layout.MaxPpiText());
    file->SetValue(QStringLiteral("page.rotate"), layout.rotatePages ? QStringLiteral("on") : QStringLiteral("off"));
    file->SetValue(QStringLiteral("page.deskew"), layout.deskew ? QStringLiteral("on") : QStringLiteral("off"));
}

} // namespace PageOptions
