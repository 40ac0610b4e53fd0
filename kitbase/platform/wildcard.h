#pragma once
// File-name wildcards as the Windows directory listing applies them, for listing
// folders by pattern ("*.dat", "Product.log?", "AV-malware-names-*").
//
// Matching is case-insensitive. "*" matches any run of characters and "?" any one
// character, with the listing's file-name rules on top:
//   - a "?" that meets a "." or the end of the name matches nothing there, so a
//     final run of "?" matches up to that many characters ("a.log?" matches "a.log"
//     and "a.log0", not "a.log10");
//   - a "*" directly before a "." stops at the name's last dot ("*.dat" does not
//     match "x.dat.bak" through an inner dot);
//   - a "." followed by "*" or "?" or ending the pattern also matches the end of a
//     name without a dot, so "*.*" matches every name and "*." the names without one.
// Names have no short 8.3 aliases here, so nothing matches through one.
#include <string_view>

#include "kitbase/export.h"

namespace kitbase {

// True when the name (without folder) matches the pattern.
KITBASE_API bool wildcardMatch(std::wstring_view pattern, std::wstring_view name);

}  // namespace kitbase
