#pragma once
// The controls of the configuration form: identifiers, kinds, texts and
// layout in twips. The widgets and the form logic both work from this table.
#include <array>
#include <cstddef>
#include <string_view>

namespace brenvik {

// Each control's identifier, as the form and its handlers know it.
enum class ControlId : int {
  RecvHostInput = 1033,
  RecvPortEdit = 1027,
  SendHostEdit = 1020,
  SendPortEdit = 1019,
  DomainEdit = 1026,
  RelayIpInput = 1034,
  DomainList = 1039,
  DomainRemoveButton = 1025,
  DomainAddButton = 1024,
  RelayList = 1040,
  RelayRemoveButton = 1023,
  RelayAddButton = 1022,
  SaveButton = 1018,
  CancelButton = 1017,
  RecvGroup = 1015,
  SendGroup = 1014,
  RelayGroup = 1011,
  InstallButton = 1013,
  DomainGroup = 1012,
  UninstallButton = 1010,
  RestartCheck = 1009,
  RblCheck = 1008,
  WhitelistGroup = 1005,
  WhitelistList = 1041,
  WhitelistEdit = 1004,
  WhitelistRemoveButton = 1003,
  WhitelistAddButton = 1002,
  StatusMailEdit = 1001,
  RecvPortLabel = 1035,
  StatusMailLabel = 1038,
  WhitelistLabel = 1037,
  SendPortLabel = 1036,
  DomainLabel = 1028,
  RecvHostLabel = 1016,
  SendHostLabel = 1021,
  RelayLabel = 1029,
  TitleLabel = 1030,
};

enum class ControlKind { Edit, IpAddressInput, ListBox, PushButton, GroupBox, CheckBox, Label };

// Which colours a control paints itself with.
enum class ControlColours {
  Default,  // the toolkit's own colours for the kind
  Window,   // window text on the window (input) background
  Face,     // window text on the button-face background
  Title,    // fixed blue text on the button-face background
};

enum class TextAlign { Left, Right };

// The title's fixed text colour as 0xRRGGBB.
inline constexpr unsigned kTitleTextRgb = 0x0000FF;

struct ControlSpec {
  std::string_view name;     // object name of the widget
  ControlId id;              // identifier
  ControlKind kind;          // what widget it is
  std::string_view text;     // text at creation ("" = empty)
  int x, y, width, height;   // twips
  int font_pixels;           // character height in pixels
  bool bold;                 // weight 700 instead of 400
  ControlColours colours;    // own colours or the kind's
  TextAlign align;           // labels only
  bool checked;              // check boxes: ticked at creation
};

// Placeholder host shown in SendHostEdit until the settings are loaded.
inline constexpr std::string_view kSendHostPlaceholder = "mail.example.com";

// Form window: outer size in twips and caption.
inline constexpr int kFormWidthTwips = 8040;
inline constexpr int kFormHeightTwips = 7200;
inline constexpr std::string_view kFormCaption = "Brenvik";

inline constexpr std::size_t kControlCount = 37;

// The controls in creation order, which is also their tab order.
inline constexpr std::array<ControlSpec, kControlCount> kControls{{
    {"RecvHostInput", ControlId::RecvHostInput, ControlKind::IpAddressInput, "", 2400, 675, 1965, 285, 13, false, ControlColours::Default, TextAlign::Left, false},
    {"RecvPortEdit", ControlId::RecvPortEdit, ControlKind::Edit, "25", 7005, 675, 570, 285, 13, false, ControlColours::Window, TextAlign::Left, false},
    {"SendHostEdit", ControlId::SendHostEdit, ControlKind::Edit, kSendHostPlaceholder, 2400, 1350, 3075, 285, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"SendPortEdit", ControlId::SendPortEdit, ControlKind::Edit, "26", 7005, 1350, 570, 285, 13, false, ControlColours::Window, TextAlign::Left, false},
    {"DomainEdit", ControlId::DomainEdit, ControlKind::Edit, "", 360, 4200, 2235, 360, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"RelayIpInput", ControlId::RelayIpInput, ControlKind::IpAddressInput, "0.0.0.0", 2850, 4200, 2235, 315, 13, false, ControlColours::Default, TextAlign::Left, false},
    {"DomainList", ControlId::DomainList, ControlKind::ListBox, "", 360, 2205, 2235, 1515, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"DomainRemoveButton", ControlId::DomainRemoveButton, ControlKind::PushButton, "remove", 360, 4590, 990, 315, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"DomainAddButton", ControlId::DomainAddButton, ControlKind::PushButton, "add", 1650, 4590, 930, 315, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"RelayList", ControlId::RelayList, ControlKind::ListBox, "", 2850, 2205, 2235, 1515, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"RelayRemoveButton", ControlId::RelayRemoveButton, ControlKind::PushButton, "remove", 2850, 4590, 990, 315, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"RelayAddButton", ControlId::RelayAddButton, ControlKind::PushButton, "add", 4155, 4590, 930, 315, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"SaveButton", ControlId::SaveButton, ControlKind::PushButton, "Save and End", 6240, 6210, 1530, 480, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"CancelButton", ControlId::CancelButton, ControlKind::PushButton, "Cancel", 4875, 6210, 1200, 480, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"RecvGroup", ControlId::RecvGroup, ControlKind::GroupBox, "Receive configuration", 240, 480, 7440, 600, 11, true, ControlColours::Face, TextAlign::Left, false},
    {"SendGroup", ControlId::SendGroup, ControlKind::GroupBox, "Send configuration", 240, 1170, 7440, 555, 11, true, ControlColours::Face, TextAlign::Left, false},
    {"RelayGroup", ControlId::RelayGroup, ControlKind::GroupBox, "this IPs are allowed to relay", 2730, 1920, 2445, 3075, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"InstallButton", ControlId::InstallButton, ControlKind::PushButton, "Install Service", 240, 6210, 1440, 480, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"DomainGroup", ControlId::DomainGroup, ControlKind::GroupBox, "receive this domains", 240, 1920, 2445, 3075, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"UninstallButton", ControlId::UninstallButton, ControlKind::PushButton, "Uninstall Service", 1800, 6210, 1440, 480, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"RestartCheck", ControlId::RestartCheck, ControlKind::CheckBox, "restart service after save", 240, 5595, 3240, 240, 11, false, ControlColours::Face, TextAlign::Left, true},
    {"RblCheck", ControlId::RblCheck, ControlKind::CheckBox, "RBL-Check aktivated", 240, 5835, 3000, 240, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"WhitelistGroup", ControlId::WhitelistGroup, ControlKind::GroupBox, "Whitelist", 5280, 1920, 2490, 3075, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"WhitelistList", ControlId::WhitelistList, ControlKind::ListBox, "", 5370, 2205, 2310, 1515, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"WhitelistEdit", ControlId::WhitelistEdit, ControlKind::Edit, "", 5370, 4200, 2310, 360, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"WhitelistRemoveButton", ControlId::WhitelistRemoveButton, ControlKind::PushButton, "remove", 5370, 4605, 960, 315, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"WhitelistAddButton", ControlId::WhitelistAddButton, ControlKind::PushButton, "add", 6630, 4605, 1050, 315, 11, false, ControlColours::Default, TextAlign::Left, false},
    {"StatusMailEdit", ControlId::StatusMailEdit, ControlKind::Edit, "", 1800, 5175, 5880, 285, 11, false, ControlColours::Window, TextAlign::Left, false},
    {"RecvPortLabel", ControlId::RecvPortLabel, ControlKind::Label, "receive on port", 4965, 720, 1920, 240, 11, false, ControlColours::Face, TextAlign::Right, false},
    {"StatusMailLabel", ControlId::StatusMailLabel, ControlKind::Label, "Statistic Email to", 240, 5160, 1440, 240, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"WhitelistLabel", ControlId::WhitelistLabel, ControlKind::Label, "add this maildomain to list", 5370, 3840, 2115, 285, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"SendPortLabel", ControlId::SendPortLabel, ControlKind::Label, "send to port", 5475, 1410, 1440, 240, 11, false, ControlColours::Face, TextAlign::Right, false},
    {"DomainLabel", ControlId::DomainLabel, ControlKind::Label, "add this domain to list", 360, 3840, 2235, 240, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"RecvHostLabel", ControlId::RecvHostLabel, ControlKind::Label, "receive on IP Adr", 360, 750, 1560, 240, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"SendHostLabel", ControlId::SendHostLabel, ControlKind::Label, "send to Host", 360, 1440, 1470, 240, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"RelayLabel", ControlId::RelayLabel, ControlKind::Label, "add this IP to list", 2850, 3840, 2235, 240, 11, false, ControlColours::Face, TextAlign::Left, false},
    {"TitleLabel", ControlId::TitleLabel, ControlKind::Label, "Brenvik configuration", 240, 120, 4560, 360, 16, true, ControlColours::Title, TextAlign::Left, false},
}};

// Whether the kind takes part in the Tab order (IP inputs, labels and group
// boxes do not).
constexpr bool IsTabStop(ControlKind kind) {
  return kind == ControlKind::Edit || kind == ControlKind::ListBox ||
         kind == ControlKind::PushButton || kind == ControlKind::CheckBox;
}

}  // namespace brenvik
