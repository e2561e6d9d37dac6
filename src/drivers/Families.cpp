// The table of indicator families.
#include "Family.h"

#include <cctype>

extern const Family kFamily5817, kFamily5817C, kFamilyKRT, kFamilyOhaus, kFamilyMSI3360,
    kFamilyMSI6260;

namespace {

const Family* const kFamilies[] = {&kFamily5817,  &kFamilyOhaus,   &kFamilyMSI3360,
                                   &kFamily5817C, &kFamilyMSI6260, &kFamilyKRT};

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

std::span<const Family* const> Families() {
    return kFamilies;
}

const Family* FamilyOfDevice(int32_t deviceType) {
    for (const Family* f : kFamilies)
        if (f->deviceType == deviceType) return f;
    return nullptr;
}

const Family* FamilyOfModel(std::string_view model) {
    for (const Family* f : kFamilies)
        if (SameName(f->model, model)) return f;
    return nullptr;
}
