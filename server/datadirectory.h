#pragma once

#include <QString>

// The service's data directory holds password hashes and notes.
namespace DataDirectory {
// Creates the directory 0700 when it is missing. An existing
// directory keeps its mode, with a warning when others may read it.
// False with *error set when it cannot be made or is not a directory.
bool prepare(const QString &path, QString *error);
}
