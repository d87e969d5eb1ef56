#include "truthvalue.h"

bool readsAsTrue(const QString &text)
{
    const QString word = text.trimmed();
    if (word.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    bool isNumber = false;
    const double number = word.toDouble(&isNumber);
    return isNumber && number != 0;
}
