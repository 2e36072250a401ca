// The resources as the module sees them after Veldmap.rc has gone through the generator: the
// string table read back through LoadStringA, the rollout's dialog template and the version.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host/win32.h"
#include "resources/resource.h"
#include "resources/resource_data.h"

namespace {

constexpr DWORD kWsChild = 0x40000000, kWsPopup = 0x80000000, kWsCaption = 0x00C00000, kWsTabstop = 0x00010000,
                kSsTypeMask = 0x1F, kSsCenter = 0x1, kSsRight = 0x2, kBsTypeMask = 0xF, kBsAutoCheckbox = 0x3;

struct ExpectedString {
  UINT id;
  const char* text;
};

const ExpectedString kStrings[] = {{1, "Veld Map"},
                                   {2, "Quenbox"},
                                   {3, "Veldmap"},
                                   {4, "Parameters"},
                                   {5, "Spin"},
                                   {7, "Coordinates"},
                                   {8, "Node"},
                                   {9, "Manual Placement"},
                                   {10, "U Offset"},
                                   {11, "V Offset"},
                                   {12, "U Scale"},
                                   {13, "V Scale"},
                                   {14, "Color Ramp"},
                                   {15, "Quad Tree Depth"},
                                   {16, "Color Ramp Texture"},
                                   {17, "Affect Alpha"},
                                   {18, "Normalize Mesh"},
                                   {19, "Memory consumed :"},
                                   {20, "Use Normals"}};

HINSTANCE Module() { return ModuleInstanceFromAddress(veldmapStringTable); }

TEST(StringTable, EveryStringRoundTripsThroughLoadString) {
  for (const ExpectedString& expected : kStrings) {
    char buffer[256];
    const int copied = LoadStringA(Module(), expected.id, buffer, 256);
    EXPECT_EQ(copied, static_cast<int>(std::string(expected.text).size())) << "string " << expected.id;
    EXPECT_STREQ(buffer, expected.text) << "string " << expected.id;
  }
  char buffer[256];
  EXPECT_EQ(LoadStringA(Module(), 6, buffer, 256), 0) << "there is no string 6";
  EXPECT_EQ(LoadStringA(Module(), 0, buffer, 256), 0);
  EXPECT_EQ(LoadStringA(Module(), 21, buffer, 256), 0);
  EXPECT_EQ(veldmapStringCount, 19);
}

TEST(StringTable, NamesInTheHeaderMatchTheIds) {
  EXPECT_EQ(IDS_LIBDESCRIPTION, 1);
  EXPECT_EQ(IDS_CATEGORY, 2);
  EXPECT_EQ(IDS_CLASS_NAME, 3);
  EXPECT_EQ(IDS_COORDS, 7);
  EXPECT_EQ(IDS_MEMORY_CONSUMED, 19);
  EXPECT_EQ(IDS_USE_NORMALS, 20);
  EXPECT_EQ(IDD_VELDMAP_PARAMS, 101);
}

TEST(StringTable, LoadStringTruncatesTheRealTable) {
  char buffer[8];
  EXPECT_EQ(LoadStringA(Module(), IDS_NORMALIZE_MESH, buffer, 5), 4);
  EXPECT_STREQ(buffer, "Norm");
  EXPECT_EQ(LoadStringA(Module(), IDS_MEMORY_CONSUMED, buffer, 8), 7);
  EXPECT_STREQ(buffer, "Memory ");
}

TEST(StringTable, IsInEnglishUs) { EXPECT_EQ(veldmapResourceLanguage, 0x0409u); }

struct ExpectedItem {
  int id;
  const char* windowClass;
  const char* text;  // null: checked separately
  int x, y, width, height;
};

const ExpectedItem kItems[] = {{-1, "Static", nullptr, 7, 151, 204, 26},
                               {1100, "CustButton", "Pick Object", 15, 9, 185, 15},
                               {1165, "CustEdit", "", 160, 75, 25, 10},
                               {1167, "SpinnerControl", "", 186, 75, 11, 10},
                               {-1, "Static", "U Scale:", 125, 77, 30, 9},
                               {1166, "CustEdit", "", 160, 87, 25, 10},
                               {1168, "SpinnerControl", "", 186, 87, 11, 10},
                               {-1, "Static", "V Scale:", 123, 88, 32, 9},
                               {1169, "CustEdit", "", 160, 46, 25, 10},
                               {1170, "SpinnerControl", "", 186, 46, 11, 10},
                               {-1, "Static", "U Offset:", 120, 48, 35, 9},
                               {1171, "CustEdit", "", 160, 58, 25, 10},
                               {1172, "SpinnerControl", "", 186, 58, 11, 10},
                               {-1, "Static", "V Offset:", 126, 59, 29, 9},
                               {1267, "Button", "Color Ramp", 20, 113, 55, 10},
                               {1101, "CustButton", "Ramp Material", 82, 111, 117, 15},
                               {1173, "CustEdit", "", 117, 134, 25, 10},
                               {1174, "SpinnerControl", "", 143, 134, 11, 10},
                               {-1, "Static", "Quad Tree Depth:", 53, 135, 59, 9},
                               {1268, "Button", "Affect Alpha", 20, 95, 55, 10},
                               {1102, "CustButton", "Bake Object into Texture", 15, 27, 109, 15},
                               {1002, "Button", "Normalize Mesh", 18, 49, 69, 10},
                               {1103, "CustButton", "Export Mesh", 129, 27, 71, 15},
                               {1004, "Button", "Use Normals for Bump", 18, 66, 85, 10},
                               {1104, "CustButton", "Help", 82, 184, 57, 15}};

const DialogResource* FindDialog(int id) {
  const DialogResource* const end = veldmapDialogs + veldmapDialogCount;
  const DialogResource* const found =
      std::find_if(veldmapDialogs, end, [id](const DialogResource& d) { return d.id == id; });
  return found == end ? nullptr : found;
}

TEST(RolloutDialog, IsAChildWindowInEightPointMsSansSerif) {
  ASSERT_EQ(veldmapDialogCount, 1);
  const DialogResource* const dialog = FindDialog(101);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->width, 217);
  EXPECT_EQ(dialog->height, 208);
  EXPECT_NE(dialog->style & kWsChild, 0u);
  EXPECT_EQ(dialog->style & (kWsPopup | kWsCaption), 0u);
  EXPECT_EQ(dialog->fontPointSize, 8);
  EXPECT_STREQ(dialog->fontName, "MS Sans Serif");
}

TEST(RolloutDialog, ControlsComeInTabOrderWithTheirPlaces) {
  const DialogResource* const dialog = FindDialog(101);
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(dialog->itemCount, 25);
  for (int i = 0; i < 25; ++i) {
    const DialogItemResource& item = dialog->items[i];
    const ExpectedItem& expected = kItems[i];
    SCOPED_TRACE("control #" + std::to_string(i + 1));
    EXPECT_EQ(item.id, expected.id);
    EXPECT_STREQ(item.windowClass, expected.windowClass);
    if (expected.text != nullptr) {
      EXPECT_STREQ(item.text, expected.text);
    }
    EXPECT_EQ(item.x, expected.x);
    EXPECT_EQ(item.y, expected.y);
    EXPECT_EQ(item.width, expected.width);
    EXPECT_EQ(item.height, expected.height);
    const std::string windowClass = item.windowClass;
    const bool takesFocus = windowClass == "CustEdit" || windowClass == "CustButton" || windowClass == "Button";
    EXPECT_EQ((item.style & kWsTabstop) != 0, takesFocus);
    if (windowClass == "Button") {
      EXPECT_EQ(item.style & kBsTypeMask, kBsAutoCheckbox);
    }
    if (windowClass == "Static" && i > 0) {
      EXPECT_EQ(item.style & kSsTypeMask, kSsRight);
    }
    EXPECT_NE(item.style & kWsChild, 0u);
  }
}

TEST(RolloutDialog, CreditIsThreeCentredLinesNamingTheMapAndVersion) {
  const DialogResource* const dialog = FindDialog(101);
  ASSERT_NE(dialog, nullptr);
  ASSERT_GT(dialog->itemCount, 0);
  const DialogItemResource& credit = dialog->items[0];
  EXPECT_EQ(credit.style & kSsTypeMask, kSsCenter);
  const std::string text = credit.text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_NE(text.find("Veld Map"), std::string::npos) << text;
  EXPECT_NE(text.find("4.0"), std::string::npos) << text;
}

TEST(VersionInfo, NamesTheModuleAndVersionFour) {
  const unsigned four[4] = {4, 0, 0, 0};
  EXPECT_TRUE(std::equal(four, four + 4, veldmapVersion.fileVersion));
  EXPECT_TRUE(std::equal(four, four + 4, veldmapVersion.productVersion));
  EXPECT_STREQ(veldmapVersion.stringBlock, "040904b0");
  const auto value = [](const char* key) -> std::string {
    for (int i = 0; i < veldmapVersion.valueCount; ++i) {
      if (std::string(veldmapVersion.values[i].key) == key) return veldmapVersion.values[i].value;
    }
    return "(missing)";
  };
  EXPECT_EQ(value("FileDescription"), "Veld Map");
  EXPECT_EQ(value("InternalName"), "Veldmap");
  EXPECT_EQ(value("OriginalFilename"), "Veldmap.dlt");
  EXPECT_EQ(value("ProductName"), "3ds max");
  EXPECT_EQ(value("FileVersion"), "4.0.0.0");
  EXPECT_EQ(value("ProductVersion"), "4.0.0.0");
}

}  // namespace
