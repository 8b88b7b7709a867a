// The catalogue (src/catalogue): the names of the game's things, the slot table, how the windows
// name a slot (slotTitle) and how a package is named (skinpackage.h). It includes nothing of the
// program's but its own files, and every other folder may include it.
//
// The 30 fixed aircraft slots of the game: every part of the program takes a slot's number,
// caption, code and colours from this one table.
#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <cstdint>

namespace kvr {

struct Slot
{
    int number;               // 1..30: binds ComboN, LabelN and position N of the viewer's filter
    const char* caption;      // text of LabelN
    const char* code;         // the SlotCode: four upper-case letters or digits
    std::uint32_t captionRgb; // text colour of LabelN, 0xRRGGBB
    const char* viewerEntry;  // item N of the viewer's filter list

    QString Caption() const { return QString::fromLatin1(caption); }
    QString SlotCode() const { return QString::fromLatin1(code); }
    QString ViewerEntry() const { return QString::fromLatin1(viewerEntry); }
};

inline constexpr int kSlotCount = 30;
inline constexpr std::uint32_t kNavy = 0x000080;
inline constexpr std::uint32_t kGreen = 0x008000;
inline constexpr std::uint32_t kDarkRed = 0xC00000;

// All slots in ascending order of number.
const std::array<Slot, kSlotCount>& slotTable();

// True when the text is exactly one of the 30 slot codes.
bool isSlotCode(QStringView code);

// The slot with number n, 1 to 30.
const Slot& slot(int n);

// How the windows name a slot: "Mosquito_VI (MOSQ)". A code of no slot is named as it is.
QString slotTitle(const Slot& s);
QString slotTitle(const QString& code);

} // namespace kvr
