// File helpers of the driver tests: copies of the built module and its
// satellites.
#pragma once

#include <vector>

#include "platform/file.h"
#include "testutil/testutil.h"

namespace drvtest {

inline bool CopyFile(const testutil::WString& from, const testutil::WString& to) {
    plat::FileHandle f = plat::FileOpenRead(from.c_str());
    if (!f)
        return false;
    int64_t size = plat::FileSize(f);
    std::vector<char> data(size > 0 ? static_cast<size_t>(size) : 0);
    bool ok = size >= 0 && (size == 0 || plat::FileRead(f, data.data(), data.size()) == size);
    plat::FileClose(f);
    return ok && plat::FileWriteAll(to.c_str(), data.data(), data.size());
}

// "NimbroDrvIDec" and the built module's extension, in folder dir.
inline testutil::WString ModuleCopyPath(const testutil::TempDir& dir, const std::string& base) {
    testutil::WString built = testutil::W(NIMBRO_TEST_MODULE);
    return dir.Join(base) + built.substr(built.rfind(W16('.')));
}

} // namespace drvtest
