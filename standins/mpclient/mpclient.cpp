// mpclient.dll (tests only): switches the stand-in Defender on or off.
#include "kitbase/platform/security_center.h"
#include "kitbase/platform/wintypes.h"

extern "C" __attribute__((visibility("default"))) HRESULT WDEnable(BOOL enable) {
    return kitbase::setSecurityCenterValues("defender", {{"enabled", enable ? "1" : "0"}}) ? S_OK : E_FAIL;
}
