#include "preview/MapPropertyBag.h"

QVariant MapPropertyBag::ReadProperty(const QString& name, const QVariant& defaultValue) const
{
    const auto it = mValues.constFind(name);
    return it == mValues.constEnd() ? defaultValue : it.value();
}

void MapPropertyBag::WriteProperty(const QString& name, const QVariant& value,
                                   const QVariant& defaultValue)
{
    if (value == defaultValue)
        mValues.remove(name);
    else
        mValues.insert(name, value);
}
