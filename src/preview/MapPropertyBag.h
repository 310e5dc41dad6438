#pragma once
#include "preview/PropertyBag.h"

#include <QVariantMap>

// A property store held in memory (a host may save Values() wherever it keeps
// its settings).
class MapPropertyBag : public PropertyBag {
public:
    MapPropertyBag() = default;
    explicit MapPropertyBag(const QVariantMap& values) : mValues(values) {}

    QVariant ReadProperty(const QString& name, const QVariant& defaultValue) const override;
    void WriteProperty(const QString& name, const QVariant& value,
                       const QVariant& defaultValue) override;

    const QVariantMap& Values() const { return mValues; }

private:
    QVariantMap mValues;
};
