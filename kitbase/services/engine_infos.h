#pragma once
// The engine's version texts as the quarantine keeps them with each entry. The
// engine wrapper fills them from the engine's version queries.
#include <string>

#include "kitbase/export.h"

struct KITBASE_API EngineInfos {
    std::wstring engine_ver;  // engine library (QVAPI)
    std::wstring ave_ver;     // scan engine module
    std::wstring vdf_ver;     // signature files
    std::wstring apc_ver;     // protection cloud
};
