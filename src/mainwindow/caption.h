#pragma once

#include <QString>

// A window caption that shows `text` as it stands. The toolkit takes "[*]" in
// a caption for the place of the modified mark and shows "[*][*]" as "[*]",
// so every "[*]" of a name from the settings file is doubled.
inline QString literalCaption(QString text)
{
    return text.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
}
