#pragma once
#include <QString>
#include <QVariant>

// The host's store of a control's design-time settings. A value equal to its
// default is not stored, so a control left at its defaults stores nothing.
class PropertyBag {
public:
    virtual ~PropertyBag() = default;
    // The stored value of name, or defaultValue when none is stored.
    virtual QVariant ReadProperty(const QString& name, const QVariant& defaultValue) const = 0;
    // Stores value under name; a value equal to defaultValue removes the key.
    virtual void WriteProperty(const QString& name, const QVariant& value,
                               const QVariant& defaultValue) = 0;
};
