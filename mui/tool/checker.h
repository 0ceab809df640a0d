// Checks a language directory against the default one, as a translator's last step.
#pragma once

#include "mui/tool/texttable.h"

#include <string>

namespace tarn::mui {

// Reads the description and every ".mui" table of both directories and reports, each with its
// file (and line or record): unreadable or damaged files, identifiers given twice, identifiers
// of the default language that the language lacks and ones it has besides, and texts whose
// printf conversions differ from the default text's.
void CheckLanguage(const std::string& language, const std::string& defaults, Problems& problems);

}  // namespace tarn::mui
