#include "platform/EventPump.h"

#include <QCoreApplication>

void YieldEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}
