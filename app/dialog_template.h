#pragma once
// The main window's template IDD_MAIN_DIALOG: size, font and the nine controls in tab
// order, positions and sizes in dialog units. Window styles are kept as their Win32 values
// so the template reads like the original; CQuorvelDlg shows what Qt can show of them.

#include <array>
#include <cstdint>

#include "app/resource.h"

constexpr int MAIN_DIALOG_WIDTH_DLU = 391;
constexpr int MAIN_DIALOG_HEIGHT_DLU = 311;
constexpr int DIALOG_FONT_POINT_SIZE = 8;

// Win32 window and control styles used by the template.
constexpr std::uint32_t WS_CHILD = 0x40000000;
constexpr std::uint32_t WS_VISIBLE = 0x10000000;
constexpr std::uint32_t WS_BORDER = 0x00800000;
constexpr std::uint32_t WS_VSCROLL = 0x00200000;
constexpr std::uint32_t WS_GROUP = 0x00020000;
constexpr std::uint32_t WS_TABSTOP = 0x00010000;
constexpr std::uint32_t ES_MULTILINE = 0x0004;
constexpr std::uint32_t ES_AUTOVSCROLL = 0x0040;
constexpr std::uint32_t ES_AUTOHSCROLL = 0x0080;
constexpr std::uint32_t ES_READONLY = 0x0800;
constexpr std::uint32_t LVS_REPORT = 0x0001;
constexpr std::uint32_t LVS_ALIGNLEFT = 0x0800;

enum class ControlKind { ListView, PushButton, Edit, ProgressBar, StaticText };

struct ControlTemplate {
    int id;
    const char* name;  // IDC_ name; "" for the static texts
    ControlKind kind;
    const char* text;  // UTF-8
    int x, y, width, height;  // dialog units
    std::uint32_t style;
};

constexpr std::uint32_t CHILD = WS_CHILD | WS_VISIBLE;

// In tab order.
constexpr std::array<ControlTemplate, 9> MAIN_DIALOG_CONTROLS{{
    {IDC_DEVICE_LIST, "IDC_DEVICE_LIST", ControlKind::ListView, "", 7, 24, 377, 161,
     CHILD | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_ALIGNLEFT},
    {IDC_UPDATE, "IDC_UPDATE", ControlKind::PushButton, "Обновить", 334, 223, 50, 14,
     CHILD | WS_TABSTOP},
    {IDC_FIRMWARE_PATH, "IDC_FIRMWARE_PATH", ControlKind::Edit, "", 7, 206, 320, 14,
     CHILD | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY},
    {IDC_BROWSE, "IDC_BROWSE", ControlKind::PushButton, "Выбрать", 334, 206, 50, 14,
     CHILD | WS_TABSTOP},
    {IDC_SEARCH, "IDC_SEARCH", ControlKind::PushButton, "Поиск", 334, 7, 50, 14,
     CHILD | WS_TABSTOP},
    {IDC_PROGRESS, "IDC_PROGRESS", ControlKind::ProgressBar, "", 7, 223, 320, 14,
     CHILD | WS_BORDER},
    {IDC_STATIC, "", ControlKind::StaticText, "Приборы подключенные к сети", 7, 10, 320, 8,
     CHILD | WS_GROUP},
    {IDC_STATIC, "", ControlKind::StaticText, "Обновление встроенного программного обеспечения",
     7, 191, 377, 8, CHILD | WS_GROUP},
    {IDC_LOG, "IDC_LOG", ControlKind::Edit, "", 7, 240, 377, 64,
     CHILD | WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL |
         ES_AUTOHSCROLL | ES_READONLY},
}};

static_assert(MAIN_DIALOG_CONTROLS[0].style == 0x50810801);
static_assert(MAIN_DIALOG_CONTROLS[1].style == 0x50010000);
static_assert(MAIN_DIALOG_CONTROLS[2].style == 0x50810880);
static_assert(MAIN_DIALOG_CONTROLS[5].style == 0x50800000);
static_assert(MAIN_DIALOG_CONTROLS[6].style == 0x50020000);
static_assert(MAIN_DIALOG_CONTROLS[8].style == 0x50A108C4);

// The device list's columns, left-aligned, widths in pixels.
struct ColumnTemplate {
    const char* header;  // UTF-8
    int width;
};
constexpr std::array<ColumnTemplate, 5> DEVICE_LIST_COLUMNS{{
    {"IP адрес", 100},
    {"MAC адрес", 110},
    {"Номер", 80},
    {"Версия", 50},
    {"Описание", 200},
}};
