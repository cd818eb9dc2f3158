// The skin without a window: the real skin read from resources/skin, the
// refusals of broken skins, what is drawn where at a bar value, the overlay
// arithmetic, the close button's hit area and its pictures per state.
#include "ui/toolkit/Skin.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "ui/toolkit/Controls.h"
#include "ui/toolkit/SkinArchive.h"
#include "ui/toolkit/SkinBackend.h"

namespace {

using ui::SkinPoint;
using ui::SkinRect;

std::wstring folder(const char* relative) {
    const std::string path = std::string(GL_TEST_SOURCE_DIR "/") + relative + "/";
    return std::wstring(path.begin(), path.end());
}

class FakeHost : public ui::SkinHost {
public:
    bool enabled = true;
    std::vector<SkinRect> invalidated;
    bool skinWindowEnabled() const override { return enabled; }
    void skinInvalidate(const SkinRect& area) override { invalidated.push_back(area); }
};

// Writes down every drawing call, with the clip it was made under.
class RecordingCanvas : public ui::SkinCanvas {
public:
    struct Draw {
        std::string picture;
        SkinRect target;  // where it lands
        SkinRect source;  // the picture's part; empty: the whole picture, scaled
        SkinRect clip;
    };
    std::vector<Draw> draws;
    void setClip(const SkinRect& clip) override { m_clip = clip; }
    void drawPicture(const std::string& name, const SkinRect& target) override {
        draws.push_back({name, target, {}, m_clip});
    }
    void drawPicturePart(const std::string& name, SkinPoint at, const SkinRect& source) override {
        draws.push_back({name, {at.x, at.y, source.width, source.height}, source, m_clip});
    }

private:
    SkinRect m_clip;
};

// The skin the program ships, read from its source folder.
class ShippedSkinTest : public ::testing::Test {
protected:
    void SetUp() override {
        archive.openFolder(folder("resources/skin"));
        std::string error;
        ASSERT_TRUE(ui::loadSkin(archive, "gamelauncher.xml", skin, error)) << error;
    }
    ui::Progress* bar() { return dynamic_cast<ui::Progress*>(skin.findControl("_pgsbar")); }
    ui::Button* closeButton() { return dynamic_cast<ui::Button*>(skin.findControl("btnClose")); }

    FakeHost host;
    ui::SkinArchive archive;
    ui::Skin skin{&host};
};

TEST_F(ShippedSkinTest, WindowAndControlsAsTheSkinPlacesThem) {
    EXPECT_EQ(skin.size(), (ui::SkinSize{408, 172}));
    EXPECT_TRUE(skin.translucent());
    struct Case {
        const char* name;
        SkinRect inWindow;
    };
    const Case cases[] = {
        {"_BG_", {0, 0, 408, 172}},
        {"_pgsbar", {0, 0, 408, 172}},
        {"btnClose", {377, 14, 20, 20}},
    };
    for (const Case& c : cases) {
        ui::Control* control = skin.findControl(c.name);
        ASSERT_NE(control, nullptr) << c.name;
        EXPECT_EQ(control->windowRect(), c.inWindow) << c.name;
        EXPECT_TRUE(control->IsVisible()) << c.name;
        EXPECT_TRUE(control->IsEnabled()) << c.name;
    }
    EXPECT_NE(dynamic_cast<ui::VerticalLayout*>(skin.findControl("_BG_")), nullptr);
    ASSERT_NE(bar(), nullptr);
    ASSERT_NE(closeButton(), nullptr);
    EXPECT_EQ(skin.findControl("nothing"), nullptr);
    // The skin's own range and value, until the window replaces them.
    EXPECT_EQ(bar()->GetMinValue(), 0);
    EXPECT_EQ(bar()->GetMaxValue(), 100);
    EXPECT_EQ(bar()->GetValue(), 50);
}

TEST_F(ShippedSkinTest, EveryPictureTheSkinNamesIsInItsFolder) {
    // The skin names pictures with "\"; the files are found all the same.
    std::vector<std::string> names = {dynamic_cast<ui::Container*>(skin.findControl("_BG_"))->backgroundPicture(),
                                      bar()->overlayPicture()};
    for (auto state : {ui::Button::State::Normal, ui::Button::State::Hot, ui::Button::State::Pushed,
                       ui::Button::State::Disabled}) {
        names.push_back(closeButton()->picture(state));
    }
    const std::vector<std::string> expected = {
        "picRes\\gl_bg.png",           "picRes\\gl_pgs_fg.png",          "picRes\\btn_close.png",
        "picRes\\btn_close_hover.png", "picRes\\btn_close_press.png", "picRes\\btn_close_disable.png"};
    EXPECT_EQ(names, expected);
    for (const std::string& name : names) {
        std::string bytes;
        ASSERT_TRUE(archive.read(name, bytes)) << name;
        EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << name;
    }
}

TEST_F(ShippedSkinTest, PaintDrawsBackgroundOverlayPartAndButtonInOrder) {
    bar()->SetMaxValue(500);
    bar()->SetMinValue(0);
    struct Case {
        int value;
        int uncovered;  // columns of the overlay drawn, from the left
    };
    const Case cases[] = {{0, 0}, {250, 204}, {500, 408}, {1, 0}, {499, 407}};
    for (const Case& c : cases) {
        bar()->SetValue(c.value);
        RecordingCanvas canvas;
        skin.paint(canvas);
        std::vector<RecordingCanvas::Draw> expected = {{"picRes\\gl_bg.png", {0, 0, 408, 172}, {}, {0, 0, 408, 172}}};
        if (c.uncovered > 0) {
            expected.push_back({"picRes\\gl_pgs_fg.png", {0, 0, c.uncovered, 172}, {0, 0, c.uncovered, 172},
                                {0, 0, 408, 172}});
        }
        expected.push_back({"picRes\\btn_close.png", {377, 14, 20, 20}, {}, {377, 14, 20, 20}});
        ASSERT_EQ(canvas.draws.size(), expected.size()) << "value " << c.value;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(canvas.draws[i].picture, expected[i].picture) << "value " << c.value << " draw " << i;
            EXPECT_EQ(canvas.draws[i].target, expected[i].target) << "value " << c.value << " draw " << i;
            EXPECT_EQ(canvas.draws[i].source, expected[i].source) << "value " << c.value << " draw " << i;
            EXPECT_EQ(canvas.draws[i].clip, expected[i].clip) << "value " << c.value << " draw " << i;
        }
    }
}

TEST_F(ShippedSkinTest, BarRefusesValuesOutsideItsRangeAndRepaintsOnlyOnChange) {
    bar()->SetMaxValue(500);
    bar()->SetMinValue(0);
    bar()->SetValue(0);
    struct Case {
        int value;
        int expected;
        bool repaint;
    };
    const Case cases[] = {{250, 250, true}, {250, 250, false}, {501, 250, false}, {-1, 250, false}, {500, 500, true}};
    for (const Case& c : cases) {
        host.invalidated.clear();
        bar()->SetValue(c.value);
        EXPECT_EQ(bar()->GetValue(), c.expected) << c.value;
        EXPECT_EQ(host.invalidated.size(), c.repaint ? 1u : 0u) << c.value;
        if (c.repaint) {
            EXPECT_EQ(host.invalidated[0], (SkinRect{0, 0, 408, 172}));
        }
    }
}

TEST_F(ShippedSkinTest, PressesOnTheCloseButtonAreItsOwnAndEverywhereElseDragTheWindow) {
    enum class Hit { Button, Drag, Nothing };
    struct Case {
        SkinPoint at;
        Hit expected;
    };
    const Case cases[] = {
        {{377, 14}, Hit::Button},   // the button's top-left pixel
        {{396, 33}, Hit::Button},   // its bottom-right pixel
        {{387, 24}, Hit::Button},
        {{376, 24}, Hit::Drag},     // just left of it
        {{397, 24}, Hit::Drag},     // just right of it
        {{387, 13}, Hit::Drag},     // just above
        {{387, 34}, Hit::Drag},     // just below
        {{0, 0}, Hit::Drag},        // the caption spans the whole window...
        {{5, 160}, Hit::Drag},      // ...the progress track included
        {{407, 171}, Hit::Drag},
        {{408, 100}, Hit::Nothing},  // outside the window
        {{-1, 100}, Hit::Nothing},
    };
    for (const Case& c : cases) {
        const bool drags = skin.pointerPressed(c.at);
        ui::Button* clicked = skin.pointerReleased(c.at);
        const Hit hit = clicked != nullptr ? Hit::Button : drags ? Hit::Drag : Hit::Nothing;
        EXPECT_EQ(hit, c.expected) << c.at.x << "," << c.at.y;
        EXPECT_EQ(skin.buttonAt(c.at) != nullptr, c.expected == Hit::Button) << c.at.x << "," << c.at.y;
    }
    // A disabled button lets presses through to the window.
    closeButton()->SetEnabled(false);
    EXPECT_TRUE(skin.pointerPressed({387, 24}));
    EXPECT_EQ(skin.pointerReleased({387, 24}), nullptr);
}

TEST_F(ShippedSkinTest, CloseButtonStatesAndTheirPictures) {
    ui::Button* button = closeButton();
    const SkinPoint on{387, 24};
    const SkinPoint off{200, 100};
    struct Step {
        const char* what;
        enum { Move, Press, Release, Leave, WindowOff, WindowOn } action;
        SkinPoint at;
        ui::Button::State state;
        const char* picture;
        bool click;
    };
    const Step steps[] = {
        {"rest", Step::Move, off, ui::Button::State::Normal, "picRes\\btn_close.png", false},
        {"pointer over", Step::Move, on, ui::Button::State::Hot, "picRes\\btn_close_hover.png", false},
        {"pressed", Step::Press, on, ui::Button::State::Pushed, "picRes\\btn_close_press.png", false},
        {"pressed, pointer gone", Step::Move, off, ui::Button::State::Normal, "picRes\\btn_close.png", false},
        {"pressed, pointer back", Step::Move, on, ui::Button::State::Pushed, "picRes\\btn_close_press.png", false},
        {"released over it", Step::Release, on, ui::Button::State::Hot, "picRes\\btn_close_hover.png", true},
        {"pointer leaves the window", Step::Leave, off, ui::Button::State::Normal, "picRes\\btn_close.png", false},
        {"pressed again", Step::Press, on, ui::Button::State::Pushed, "picRes\\btn_close_press.png", false},
        {"released elsewhere", Step::Release, off, ui::Button::State::Normal, "picRes\\btn_close.png", false},
        {"pressed once more", Step::Press, on, ui::Button::State::Pushed, "picRes\\btn_close_press.png", false},
        // A box opens: the window takes no input, the press is dropped.
        {"window disabled", Step::WindowOff, on, ui::Button::State::Disabled, "picRes\\btn_close_disable.png", false},
        {"window enabled", Step::WindowOn, on, ui::Button::State::Hot, "picRes\\btn_close_hover.png", false},
        {"release of the dropped press", Step::Release, on, ui::Button::State::Hot, "picRes\\btn_close_hover.png",
         false},
    };
    for (const Step& s : steps) {
        ui::Button* clicked = nullptr;
        switch (s.action) {
            case Step::Move:
                skin.pointerMoved(s.at);
                break;
            case Step::Press:
                EXPECT_FALSE(skin.pointerPressed(s.at)) << s.what;
                break;
            case Step::Release:
                clicked = skin.pointerReleased(s.at);
                break;
            case Step::Leave:
                skin.pointerLeft();
                break;
            case Step::WindowOff:
                host.enabled = false;
                skin.cancelPointer();
                break;
            case Step::WindowOn:
                host.enabled = true;
                break;
        }
        EXPECT_EQ(button->state(), s.state) << s.what;
        EXPECT_EQ(button->picture(button->state()), s.picture) << s.what;
        EXPECT_EQ(clicked == button, s.click) << s.what;
    }
}

TEST(SkinFixtureTest, BrokenSkinsAreRefusedWithTheirReason) {
    struct Case {
        const char* folder;
        bool loads;
        const char* error;  // the start of it
    };
    const Case cases[] = {
        {"tests/fixtures/skins/no_document", false, "skin file gamelauncher.xml missing"},
        {"tests/fixtures/skins/bad_xml", false, "skin document: "},
        {"tests/fixtures/skins/no_pgsbar", true, ""},
    };
    for (const Case& c : cases) {
        ui::SkinArchive archive;
        archive.openFolder(folder(c.folder));
        ui::Skin skin;
        std::string error;
        EXPECT_EQ(ui::loadSkin(archive, "gamelauncher.xml", skin, error), c.loads) << c.folder;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.folder << ": " << error;
        if (!c.loads) {
            EXPECT_TRUE(skin.controls().empty()) << c.folder;
        }
    }
    // The unclosed <Progress> is found where its parent's end tag does not
    // match it.
    ui::SkinArchive archive;
    archive.openFolder(folder("tests/fixtures/skins/bad_xml"));
    ui::Skin skin;
    std::string error;
    ASSERT_FALSE(ui::loadSkin(archive, "gamelauncher.xml", skin, error));
    EXPECT_EQ(error, "skin document: Opening and ending tag mismatch. (line 5)");
    // The skin without the bar: the button is there, with only its normal
    // picture for every state.
    ui::SkinArchive plain;
    plain.openFolder(folder("tests/fixtures/skins/no_pgsbar"));
    ui::Skin noBar;
    ASSERT_TRUE(ui::loadSkin(plain, "gamelauncher.xml", noBar, error));
    EXPECT_EQ(noBar.findControl("_pgsbar"), nullptr);
    auto* button = dynamic_cast<ui::Button*>(noBar.findControl("btnClose"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->picture(ui::Button::State::Hot), "picRes\\btn_close.png");
    EXPECT_EQ(button->picture(ui::Button::State::Disabled), "picRes\\btn_close.png");
}

TEST(SkinFixtureTest, ArchiveThatIsNotAZipIsRefused) {
    ui::SkinArchive files;
    files.openFolder(folder("tests/fixtures/skins"));
    std::string bytes;
    ASSERT_TRUE(files.read("not_a_zip.bin", bytes));
    ui::SkinArchive archive;
    EXPECT_FALSE(archive.openZip(bytes));
    EXPECT_FALSE(archive.read("gamelauncher.xml", bytes));
}

TEST(SkinDocumentTest, DocumentsThatAreNoSkinAreRefused) {
    std::string deep = "<Window size=\"10,10\">";
    for (int i = 0; i < ui::Skin::kMaxDepth; ++i) deep += "<Container>";
    for (int i = 0; i < ui::Skin::kMaxDepth; ++i) deep += "</Container>";
    deep += "</Window>";
    std::string deepest = "<Window size=\"10,10\">";
    for (int i = 1; i < ui::Skin::kMaxDepth; ++i) deepest += "<Container>";
    for (int i = 1; i < ui::Skin::kMaxDepth; ++i) deepest += "</Container>";
    deepest += "</Window>";
    struct Case {
        std::string xml;
        const char* error;  // the start of it; "" when it loads
    };
    const Case cases[] = {
        {"", "the skin has no Window"},
        {"<Dialog size=\"10,10\"/>", "the skin's root is not a Window"},
        {"<Window size=\"10,10\"/>\n<Window size=\"10,10\"/>",
         "skin document: Extra content at end of document. (line 2)"},
        {"<Window size=\"10,10\"><Button name=\"a\" name=\"b\"/></Window>",
         "skin document: Attribute redefined. (line 1)"},
        {"<Window size=\"10,10\" size=\"20,20\"/>", "skin document: Attribute redefined. (line 1)"},
        {"<Window size=\"10,10\">\n<Button>\n</Window>", "skin document: "},
        {deep, "skin nested too deeply"},
        {deepest, ""},
        // Unknown elements are skipped, with what they hold, but counted.
        {"<Window size=\"10,10\"><Label><Button name=\"b\"/></Label></Window>", ""},
        {"<Window size=\"0,10\"/>", "the skin's window size is not usable"},
        {"<Window size=\"10\"/>", "the skin's window size is not usable"},
        {"<Window size=\"16385,10\"/>", "the skin's window size is not usable"},
        {"<Window size=\"99999999999,10\"/>", "the skin's window size is not usable"},
        {"<Window size=\"ten,10\"/>", "the skin's window size is not usable"},
        {"<Window size=\" 16384 , 1 \"/>", ""},
        {"<Window/>", "the skin's window size is not usable"},
    };
    for (const Case& c : cases) {
        ui::Skin skin;
        std::string error;
        const bool loaded = skin.load(c.xml, error);
        EXPECT_EQ(loaded, c.error[0] == '\0') << c.xml << ": " << error;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.xml << ": " << error;
    }
    ui::Skin skin;
    std::string error;
    ASSERT_TRUE(skin.load("<Window size=\"10,10\"><Label><Button name=\"b\"/></Label></Window>", error));
    EXPECT_EQ(skin.findControl("b"), nullptr);
}

TEST(SkinLayoutTest, ContainersStackFloatAndShare) {
    const char* xml = R"(<Window size="300,200" caption="10,0,20,50">
      <Container name="root">
        <Control name="top" height="30"/>
        <Control name="flex1"/>
        <Control name="narrow" width="40" height="20"/>
        <Control name="flex2"/>
        <Button name="float" float="true" pos="50,60,80,100"/>
        <Button name="sized" float="true" pos="5,6,0,0" width="7" height="8"/>
        <Container name="inner" float="true" pos="290,190,0,0" width="30" height="30">
          <Button name="clipped" float="true" pos="5,5,0,0" width="10" height="10"/>
        </Container>
      </Container>
      <Control name="second" visible="false"/>
    </Window>)";
    ui::Skin skin;
    std::string error;
    ASSERT_TRUE(skin.load(xml, error)) << error;
    struct Case {
        const char* name;
        SkinRect inWindow;
        SkinRect visible;
    };
    const Case cases[] = {
        {"root", {0, 0, 300, 200}, {0, 0, 300, 200}},
        {"top", {0, 0, 300, 30}, {0, 0, 300, 30}},
        {"flex1", {0, 30, 300, 75}, {0, 30, 300, 75}},  // (200 − 30 − 20) / 2
        {"narrow", {0, 105, 40, 20}, {0, 105, 40, 20}},
        {"flex2", {0, 125, 300, 75}, {0, 125, 300, 75}},
        {"float", {50, 60, 30, 40}, {50, 60, 30, 40}},
        {"sized", {5, 6, 7, 8}, {5, 6, 7, 8}},
        {"inner", {290, 190, 30, 30}, {290, 190, 10, 10}},
        {"clipped", {295, 195, 10, 10}, {295, 195, 5, 5}},
        {"second", {0, 0, 300, 200}, {0, 0, 300, 200}},
    };
    for (const Case& c : cases) {
        ui::Control* control = skin.findControl(c.name);
        ASSERT_NE(control, nullptr) << c.name;
        EXPECT_EQ(control->windowRect(), c.inWindow) << c.name;
        EXPECT_EQ(control->visibleRect(), c.visible) << c.name;
    }
    // The caption: from 10 to 20 short of the right edge, rows 0..49.
    struct Point {
        SkinPoint at;
        bool inCaption;
    };
    const Point points[] = {
        {{10, 0}, true}, {{9, 0}, false}, {{279, 49}, true}, {{280, 10}, false}, {{100, 50}, false}};
    for (const Point& p : points) EXPECT_EQ(skin.inCaption(p.at), p.inCaption) << p.at.x << "," << p.at.y;
    // A hidden control takes no presses; only the visible part of a clipped
    // button does.
    EXPECT_FALSE(skin.findControl("second")->IsVisible());
    EXPECT_NE(skin.buttonAt({299, 199}), nullptr);
    EXPECT_EQ(skin.buttonAt({300, 199}), nullptr);
}

TEST(SkinNumbersTest, AttributesAreReadAsTheSkinWritesThem) {
    struct Case {
        const char* text;
        int number;
    };
    const Case numbers[] = {{"0", 0},          {"408", 408},         {" 12 ", 12},     {"+7", 7},
                            {"-3", -3},        {"1048577", 1 << 20}, {"-2000000", -(1 << 20)},
                            {"99999999999999999999", 0}, {"", 0},    {"1x", 0},        {"0x10", 0}};
    for (const Case& c : numbers) EXPECT_EQ(ui::skinNumber(c.text), c.number) << "'" << c.text << "'";
    struct Flag {
        const char* text;
        bool value;
    };
    const Flag flags[] = {{"true", true},   {"TRUE", true}, {" True ", true},
                          {"false", false}, {"1", false},   {"", false}};
    for (const Flag& f : flags) EXPECT_EQ(ui::skinBool(f.text), f.value) << "'" << f.text << "'";
}

TEST(SkinOverlayTest, UncoveredPartOfTheBar) {
    struct Case {
        int min, max, value, length;
        int extent;
    };
    const Case cases[] = {
        {0, 500, 0, 408, 0},
        {0, 500, 1, 408, 0},      // 408 / 500, fraction dropped
        {0, 500, 2, 408, 1},
        {0, 500, 250, 408, 204},
        {0, 500, 499, 408, 407},
        {0, 500, 500, 408, 408},
        {0, 500, 600, 408, 408},  // held to the range
        {0, 500, -5, 408, 0},
        {0, 100, 50, 408, 204},   // the skin's own range and value
        {100, 200, 150, 408, 204},
        {5, 5, 5, 408, 0},        // an empty range shows nothing
        {10, 0, 5, 408, 0},
        {INT_MIN, INT_MAX, INT_MAX, 408, 408},  // no overflow at the extremes
        {INT_MIN, INT_MAX, 0, 1 << 20, 1 << 19},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ui::uncoveredExtent(c.min, c.max, c.value, c.length), c.extent)
            << c.min << ".." << c.max << " at " << c.value << " over " << c.length;
    }
}

TEST(SkinOverlayTest, VerticalAndStretchedBarsUncoverFromTheBottom) {
    const char* xml = R"(<Window size="100,100">
      <Container>
        <Progress name="up" float="true" pos="10,0,0,0" width="20" height="100"
                  hor="false" min="0" max="4" value="1" foreimage="v.png"/>
        <Progress name="wide" float="true" pos="50,0,0,0" width="40" height="10"
                  isstretchfore="TRUE" min="0" max="4" value="3" foreimage="s.png"/>
      </Container>
    </Window>)";
    ui::Skin skin;
    std::string error;
    ASSERT_TRUE(skin.load(xml, error)) << error;
    auto* up = dynamic_cast<ui::Progress*>(skin.findControl("up"));
    auto* wide = dynamic_cast<ui::Progress*>(skin.findControl("wide"));
    ASSERT_NE(up, nullptr);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(up->overlay().target, (SkinRect{0, 75, 20, 25}));
    EXPECT_EQ(up->overlay().source, (SkinRect{0, 75, 20, 25}));
    EXPECT_FALSE(up->overlay().stretch);
    EXPECT_EQ(wide->overlay().target, (SkinRect{0, 0, 30, 10}));
    EXPECT_TRUE(wide->overlay().stretch);
    RecordingCanvas canvas;
    skin.paint(canvas);
    ASSERT_EQ(canvas.draws.size(), 2u);
    EXPECT_EQ(canvas.draws[0].picture, "v.png");
    EXPECT_EQ(canvas.draws[0].target, (SkinRect{10, 75, 20, 25}));
    EXPECT_EQ(canvas.draws[0].source, (SkinRect{0, 75, 20, 25}));
    EXPECT_EQ(canvas.draws[1].picture, "s.png");
    EXPECT_EQ(canvas.draws[1].target, (SkinRect{50, 0, 30, 10}));
    EXPECT_EQ(canvas.draws[1].source, (SkinRect{}));  // the whole picture, scaled
}

}  // namespace
