// The table of indicator families.
#include "Family.h"

#include <cctype>

extern const Family kFamily5817, kFamily5817C, kFamilyKRT, kFamilyOhaus, kFamilyMSI3360,
    kFamilyMSI6260;

namespace {

// In the order the tools list them: each model before its variant.
const Family* const kFamilies[] = {&kFamily5817,  &kFamily5817C,   &kFamilyKRT,
                                   &kFamilyOhaus, &kFamilyMSI3360, &kFamilyMSI6260};

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

std::string ModelNames(std::string_view last) {
    std::string names;
    for (size_t i = 0; i < std::size(kFamilies); ++i) {
        if (i > 0 && i + 1 == std::size(kFamilies) && !last.empty()) {
            names += ' ';
            names.append(last);
            names += ' ';
        } else if (i > 0) {
            names += ", ";
        }
        names += kFamilies[i]->model;
    }
    return names;
}

plat::SerialSettings SerialLine(const Family& family, plat::SerialSettings base) {
    base.baud = family.baud;
    base.dataBits = family.dataBits;
    base.parity = family.parity;
    base.stopBits = family.stopBits;
    base.dtr = family.modemLines;
    base.rts = family.modemLines;
    return base;
}

uint32_t TRequestRun::SendNext(const std::function<void(const std::string&)>& send) {
    if (!Running()) return 0;
    const RequestStep& step = steps_[next_++];
    send(step.bytes);
    return step.pauseAfterMs;
}
