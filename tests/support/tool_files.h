// The tool's fixed file names as strings, for the fakes' maps and for the
// longer texts the tests expect. They come from the tool's own constants, so
// a renamed file is renamed in the tests too.
#pragma once

#include <string>

#include "hilfen/feedfix/file_names.h"

inline const std::string k_settings{k_settings_file};
inline const std::string k_temp{k_temp_file};
inline const std::string k_intent{k_intent_file};
