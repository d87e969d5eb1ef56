#pragma once

#include <QString>

// Whether a setting's text reads as true: "True" in any letter case, or a
// number other than 0. "False", 0 and every other text read as false.
bool readsAsTrue(const QString &text);
