// The product's branding texts, offered through the string-table export that
// Kitbase's string resources read.
#include <iterator>

#include "kitbase/platform/string_table.h"

namespace {

const KitbaseStringEntry kTexts[] = {
    // Names of the product and its service.
    {1028, "Scanwarden"},
    {1053, "Scanwarden Server"},
    {1029, "scanwarden"},
    {1030, "Scans files when they are opened and on request, and keeps malware away from this computer."},
    {1031, "Scanwarden Real-Time Protection"},
    // Security Center remediation name.
    {1002, "Scanwarden Remediation"},
    // Product update index names.
    {1013, "linux-x64"},
    {50001, "scanwarden-webfilter"},
    // Labels of the engine's module versions.
    {1027, "Engine interface version"},
    {1024, "Engine version"},
    {1025, "Signature database version"},
    {1026, "Protection cloud version"},
    // On-access detection notifications: display path, detection name, detected type,
    // action text.
    {1045, "Malware found in %ls: %ls (%ls). %ls"},
    {1046, "Suspicious file %ls: %ls (%ls). %ls"},
    {1048, "Access was allowed."},
    {1047, "The file was moved to quarantine."},
    {1050, "Access was denied (delete requested)."},
    {1049, "Access was denied."},
    {1062, "Access was denied (rename requested)."},
    // Scan and update notifications.
    {1064, "The on-demand scan has finished."},
    {1065, "Scanwarden has been updated."},
    {32815, "The product was updated, but the engine update failed."},
    {32817, "The engine was updated, but the product update failed."},
    {9099, "The update failed."},
    // Default server addresses.
    {1058, "https://update.scanwarden.example"},
    {1060, "https://heartbeat.scanwarden.example"},
};

}  // namespace

extern "C" KITBASE_STRING_TABLE_EXPORT const KitbaseStringEntry* kitbase_string_table(uint32_t* count) {
    if (count)
        *count = static_cast<uint32_t>(std::size(kTexts));
    return kTexts;
}
