#pragma once

#include <QString>

namespace testpaths {

// Where the build puts mirabo and avi2mpg1.
inline QString programDir() { return QStringLiteral(MIRABO_PROGRAM_DIR); }
inline QString testsSourceDir() { return QStringLiteral(MIRABO_TESTS_SOURCE_DIR); }
inline QString testsBinaryDir() { return QStringLiteral(MIRABO_TESTS_BINARY_DIR); }

} // namespace testpaths
