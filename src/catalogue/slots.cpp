#include "catalogue/slots.h"

#include <QtGlobal>

namespace kvr {

namespace {

constexpr std::array<Slot, kSlotCount> kSlots{{
    {1, "Hurricane_I", "HURR", kNavy, "Hurricane_I Slot"},
    {2, "Spitfire_Ia", "SP2A", kNavy, "Spitfire_Ia Slot"},
    {3, "Spitfire_IX", "SP09", kNavy, "Spitfire_IX Slot"},
    {4, "Spitfire_XIV", "SP14", kNavy, "Spitfire_XIV Slot"},
    {5, "Typhoon_Ib", "TYPH", kNavy, "Typhoon_Ib Slot"},
    {6, "Tempest_V", "TEMP", kNavy, "Tempest_V Slot"},
    {7, "Mosquito_VI", "MOSQ", kNavy, "Mosquito_VI Slot"},
    {8, "P51_B", "P51B", kGreen, "P51_B Slot"},
    {9, "P51_D", "P51D", kGreen, "P51_D Slot"},
    {10, "P38_H", "P38H", kGreen, "P38_H Slot"},
    {11, "P38_J", "P38J", kGreen, "P38_J Slot"},
    {12, "P47_C", "P47C", kGreen, "P47_C Slot"},
    {13, "P47_D", "P47D", kGreen, "P47_D Slot"},
    {14, "B26_B", "B26A", kGreen, "B26_B Slot"},
    {15, "B17_F", "BB17", kGreen, "B17_F Slot "},
    {16, "B24_D", "B24A", kGreen, "B24_D Slot"},
    {17, "BF109_E4", "109E", kDarkRed, "Bf109_E4 Slot"},
    {18, "BF109_G6", "109G", kDarkRed, "Bf109_G6 Slot"},
    {19, "BF104_K4", "109K", kDarkRed, "Bf109_K4 Slot"},
    {20, "BF110_C4", "110C", kDarkRed, "Bf110_C4 Slot"},
    {21, "BF110_G2", "110G", kDarkRed, "Bf110_G2 Slot"},
    {22, "M410_A2", "M410", kDarkRed, "M410_A2 Slot"},
    {23, "FW190_A8", "190A", kDarkRed, "Fw190_A8 Slot"},
    {24, "Fw190_D9", "190D", kDarkRed, "Fw190_D9 Slot"},
    {25, "Me262_A2", "262A", kDarkRed, "Me262_A2 Slot"},
    {26, "Ju88_A4", "J88A", kDarkRed, "Ju88_A4 Slot"},
    {27, "Ju88_C6", "J88C", kDarkRed, "Ju88_C6 Slot"},
    {28, "Ju87_B2", "JU87", kDarkRed, "Ju87_B2 Slot"},
    {29, "He111_H2", "H111", kDarkRed, "He111_H2 Slot"},
    {30, "Fi103_V1", "V1V1", kDarkRed, "Fi103_V1 Slot"},
}};

} // namespace

const std::array<Slot, kSlotCount>& slotTable()
{
    return kSlots;
}

bool isSlotCode(QStringView code)
{
    for (const Slot& s : slotTable())
        if (code == QLatin1String(s.code))
            return true;
    return false;
}

const Slot& slot(int n)
{
    Q_ASSERT(n >= 1 && n <= kSlotCount);
    return kSlots[static_cast<size_t>(n - 1)];
}

QString slotTitle(const Slot& s)
{
    return s.Caption() + QStringLiteral(" (") + s.SlotCode() + QLatin1Char(')');
}

QString slotTitle(const QString& code)
{
    for (const Slot& s : slotTable())
        if (code == QLatin1String(s.code))
            return slotTitle(s);
    return code;
}

} // namespace kvr
