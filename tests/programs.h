// The four programs of the suite by name, at the paths the build gives the
// test (MOMFIT_PATH, BANDFIT_PATH, COLMERGE_PATH, CONSTCOL_PATH).
#pragma once

#include <map>
#include <string>

namespace testing_support {

inline const std::map<std::string, std::string> kPrograms = {
    {"momfit", MOMFIT_PATH},
    {"bandfit", BANDFIT_PATH},
    {"colmerge", COLMERGE_PATH},
    {"constcol", CONSTCOL_PATH},
};

}  // namespace testing_support
