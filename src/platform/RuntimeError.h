#pragma once
#include <QString>
#include <stdexcept>

// An error passed up to the caller with its number, source and description.
class RuntimeError : public std::runtime_error {
public:
    RuntimeError(int number, const QString& source, const QString& description)
        : std::runtime_error(description.toStdString()), Number(number), Source(source),
          Description(description) {}
    int Number;
    QString Source;
    QString Description;
};
