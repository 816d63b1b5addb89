// The notification-area icon control on its own: the record, the shell calls, events and persisted
// properties.
#include "platform/sim/SimDesktop.h"
#include "traycontrol/SysTray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace platform;

namespace {

class Recorder : public SysTrayEvents {
  public:
    std::vector<std::string> events;
    void MouseMove() override { events.push_back("MouseMove"); }
    void DbClickGauche() override { events.push_back("DbClickGauche"); }
    void ClickDroit() override { events.push_back("ClickDroit"); }
    void ClickGauche() override { events.push_back("ClickGauche"); }
    void DbClickDroit() override { events.push_back("DbClickDroit"); }
};

std::string tipText(const NotifyIconData& d) {
    return std::string(d.szTip.data());
}

} // namespace

TEST(SysTray, ShowFillsTheRecordAndAddsThenModifiesOnce) {
    sim::SimDesktop desk;
    SysTray tray(desk, desk);
    tray.SetIcon(0x1234);
    EXPECT_TRUE(desk.notifyCalls.empty()) << "an icon set before Show is only stored";
    tray.SetTip("Remote");
    tray.Show();
    tray.Show();
    ASSERT_EQ(desk.notifyCalls.size(), 2u);
    EXPECT_EQ(desk.notifyCalls[0].message, NIM_ADD);
    EXPECT_EQ(desk.notifyCalls[1].message, NIM_MODIFY);
    const NotifyIconData& d = desk.notifyCalls[0].data;
    EXPECT_EQ(d.cbSize, 88u);
    EXPECT_EQ(d.hWnd, tray.hWnd());
    EXPECT_EQ(d.uID, 1u);
    EXPECT_EQ(d.uFlags, 7u);
    EXPECT_EQ(d.uCallbackMessage, 0x0200u);
    EXPECT_EQ(d.hIcon, 0x1234);
    EXPECT_EQ(tipText(d), "Remote" + std::string(57, ' '));
}

TEST(SysTray, TipIsPaddedOrCutAndAlwaysEndsWithAZero) {
    const struct {
        std::string tip;
        std::string shown;
    } cases[] = {{"", std::string(63, ' ')},
                 {"abc", "abc" + std::string(60, ' ')},
                 {std::string(63, 'x'), std::string(63, 'x')},
                 {std::string(64, 'y'), std::string(63, 'y')},
                 {std::string(200, 'z'), std::string(63, 'z')}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tip.size());
        sim::SimDesktop desk;
        SysTray tray(desk, desk);
        tray.SetTip(c.tip);
        tray.Show();
        const NotifyIconData& d = desk.notifyCalls.back().data;
        EXPECT_EQ(d.szTip.back(), '\0');
        EXPECT_EQ(tipText(d), c.shown);
    }
}

TEST(SysTray, ChangesGoToTheShellOnlyWhileShown) {
    sim::SimDesktop desk;
    SysTray tray(desk, desk);
    std::vector<std::string> changed;
    tray.PropertyChanged = [&](const char* name) { changed.push_back(name); };
    tray.Hide();
    EXPECT_TRUE(desk.notifyCalls.empty()) << "Hide while hidden sends nothing";
    tray.Show();
    tray.SetIcon(7);
    EXPECT_EQ(desk.notifyCalls.back().message, NIM_MODIFY);
    EXPECT_EQ(desk.notifyCalls.back().data.hIcon, 7);
    tray.SetTip("t");
    tray.Hide();
    EXPECT_EQ(desk.notifyCalls.back().message, NIM_DELETE);
    const auto calls = desk.notifyCalls.size();
    tray.SetIcon(8);
    tray.SetTip("u");
    EXPECT_EQ(desk.notifyCalls.size(), calls);
    EXPECT_EQ((std::vector<std::string>{"Icon", "Tip", "Icon", "Tip"}), changed);
}

TEST(SysTray, UpdateIconSendsTheToolTipWithFlagsSixWhateverTheShownFlag) {
    sim::SimDesktop desk;
    SysTray tray(desk, desk);
    tray.SetIcon(5);
    tray.UpdateIcon("busy");
    ASSERT_EQ(desk.notifyCalls.size(), 1u);
    EXPECT_EQ(desk.notifyCalls[0].message, NIM_MODIFY);
    EXPECT_EQ(desk.notifyCalls[0].data.uFlags, 6u);
    EXPECT_EQ(desk.notifyCalls[0].data.hIcon, 0) << "UpdateIcon leaves hIcon alone";
    EXPECT_EQ(tray.Tip(), "") << "UpdateIcon leaves Tip alone";
    tray.Show();
    tray.UpdateIcon("x");
    tray.SetIcon(6);
    EXPECT_EQ(desk.notifyCalls.back().data.uFlags, 6u) << "later modify calls keep the flags of UpdateIcon";
}

TEST(SysTray, DesignModeRefusesIconAndAfficherWithError387) {
    sim::SimDesktop desk;
    SysTray tray(desk, desk, /*userMode=*/false);
    EXPECT_EQ(tray.SetIcon(3), SysTray::ErrSetNotPermitted);
    EXPECT_EQ(tray.SetAfficher(true), SysTray::ErrSetNotPermitted);
    EXPECT_EQ(tray.Icon(), 0);
    EXPECT_FALSE(tray.Afficher());
    tray.SetTip("allowed");
    EXPECT_EQ(tray.Tip(), "allowed");
}

TEST(SysTray, AfficherMovesBetweenStatesWithoutCallingTheShell) {
    sim::SimDesktop desk;
    {
        SysTray tray(desk, desk);
        EXPECT_EQ(tray.SetAfficher(true), 0);
        EXPECT_TRUE(tray.Afficher());
        tray.Show(); // already counts as shown
        EXPECT_TRUE(desk.notifyCalls.empty());
    }
    // Destruction of a control that counts as shown deletes the icon.
    ASSERT_EQ(desk.notifyCalls.size(), 1u);
    EXPECT_EQ(desk.notifyCalls[0].message, NIM_DELETE);
}

TEST(SysTray, MouseMessagesDecodeIntoEvents) {
    const struct {
        const char* name;
        std::vector<std::uint32_t> messages;
        std::vector<std::string> events;
    } cases[] = {
        {"left click", {WM_LBUTTONDOWN, WM_LBUTTONUP}, {"ClickGauche"}},
        {"right click", {WM_RBUTTONDOWN, WM_RBUTTONUP}, {"ClickDroit"}},
        {"left double-click",
         {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP},
         {"ClickGauche", "DbClickGauche", "ClickGauche"}},
        {"right double-click",
         {WM_RBUTTONDOWN, WM_RBUTTONUP, WM_RBUTTONDBLCLK, WM_RBUTTONUP},
         {"ClickDroit", "DbClickDroit"}},
        {"move", {WM_MOUSEMOVE}, {"MouseMove"}},
        {"middle button", {0x0207, 0x0208}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimDesktop desk;
        SysTray tray(desk, desk);
        Recorder recorder;
        tray.SetEvents(&recorder);
        for (auto m : c.messages) {
            // The high word of lParam is ignored.
            desk.send(tray.hWnd(), SysTray::CallbackMessage, 0, static_cast<std::intptr_t>(0x00370000u | m));
        }
        EXPECT_EQ(recorder.events, c.events);
    }
}

TEST(SysTray, PropertiesAtTheirDefaultsAreNotStoredAndLoadingNeverCountsAsShown) {
    sim::SimDesktop desk;
    PropertyBag bag;
    {
        SysTray tray(desk, desk);
        tray.InitProperties();
        EXPECT_EQ(tray.Tip(), "0");
        tray.WriteProperties(bag);
        EXPECT_FALSE(bag.Contains("Icon"));
        EXPECT_FALSE(bag.Contains("tip"));
        EXPECT_FALSE(bag.Contains("AFFICHER"));
        tray.SetIcon(9);
        tray.SetTip("");
        tray.Show();
        tray.WriteProperties(bag);
    }
    EXPECT_TRUE(bag.Contains("icon"));
    EXPECT_TRUE(bag.Contains("Tip"));
    EXPECT_TRUE(bag.Contains("Afficher"));
    const auto before = desk.notifyCalls.size();
    SysTray loaded(desk, desk);
    loaded.ReadProperties(bag);
    EXPECT_EQ(loaded.Icon(), 9);
    EXPECT_EQ(loaded.Tip(), "");
    EXPECT_FALSE(loaded.Afficher());
    EXPECT_EQ(desk.notifyCalls.size(), before);
}

TEST(SysTray, TheShellsRestartAddsAShownIconAgainWithItsCallback) {
    sim::SimDesktop desk;
    SysTray tray(desk, desk);
    const std::uint32_t taskbarCreated = desk.registeredMessage("TaskbarCreated");
    EXPECT_EQ(tray.TaskbarCreatedMessage(), taskbarCreated);

    desk.send(tray.hWnd(), taskbarCreated, 0, 0);
    EXPECT_TRUE(desk.notifyCalls.empty()) << "an icon never shown stays away";

    tray.SetIcon(0x1234);
    tray.Show();
    tray.UpdateIcon("busy"); // leaves the stored record without NIF_MESSAGE
    desk.notifyCalls.clear();
    desk.restartShell();
    desk.pump();
    ASSERT_EQ(desk.notifyCalls.size(), 1u);
    EXPECT_EQ(desk.notifyCalls[0].message, NIM_ADD);
    EXPECT_EQ(desk.notifyCalls[0].data.uFlags, 7u);
    EXPECT_EQ(desk.notifyCalls[0].data.uCallbackMessage, 0x0200u);
    EXPECT_EQ(desk.notifyCalls[0].data.hIcon, 0x1234);
    EXPECT_EQ(tipText(desk.notifyCalls[0].data), "busy" + std::string(59, ' ')) << "the tip it showed";
    tray.SetIcon(0x99);
    EXPECT_EQ(desk.notifyCalls.back().data.uFlags, 6u) << "later modify calls keep the stored record";

    tray.Hide();
    desk.notifyCalls.clear();
    desk.restartShell();
    desk.pump();
    EXPECT_TRUE(desk.notifyCalls.empty()) << "a hidden icon stays hidden";
}

namespace {

// The icon as the shell holds it now: the last add or modify sent.
NotifyIconData heldIcon(const sim::SimDesktop& desk) {
    for (auto it = desk.notifyCalls.rbegin(); it != desk.notifyCalls.rend(); ++it) {
        if (it->message == NIM_ADD || it->message == NIM_MODIFY) {
            return it->data;
        }
    }
    return {};
}

} // namespace

TEST(SysTray, AnIconTheShellRefusesIsAddedAgainOnATimerUntilTheShellTakesIt) {
    const struct {
        const char* name;
        int refusals;
        bool refusedAddsLand;
        int ticksToShow; // retry periods until the icon is there
    } cases[] = {
        {"the shell takes the first add", 0, false, 0},
        {"the shell refuses one add", 1, false, 1},
        {"the shell refuses three adds", 3, false, 3},
        {"the shell answers too late but takes the add", 1, true, 0},
        {"late answers to the retries as well", 3, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimDesktop desk;
        desk.refuseAdds = c.refusals;
        desk.refusedAddsLand = c.refusedAddsLand;
        SysTray tray(desk, desk);
        tray.SetIcon(0x1234);
        tray.SetTip("Remote");
        tray.Show();
        for (int tick = 0; tick < c.ticksToShow; ++tick) {
            SCOPED_TRACE(tick);
            EXPECT_FALSE(desk.trayIconPresent());
            EXPECT_TRUE(tray.Waiting());
            EXPECT_TRUE(desk.timerRunning(tray.hWnd(), SysTray::RetryTimerId));
            tray.SetIcon(0x2000 + tick); // changes while waiting are what the icon shows when it comes
            desk.elapse(SysTray::RetryIntervalMs - 1);
            EXPECT_FALSE(desk.trayIconPresent()) << "tried again before its period";
            desk.elapse(1);
        }
        EXPECT_TRUE(desk.trayIconPresent());
        EXPECT_FALSE(tray.Waiting());
        EXPECT_FALSE(desk.timerRunning(tray.hWnd(), SysTray::RetryTimerId));
        const NotifyIconData held = heldIcon(desk);
        EXPECT_EQ(held.hIcon, c.ticksToShow == 0 ? 0x1234 : 0x2000 + c.ticksToShow - 1);
        EXPECT_EQ(held.uFlags, 7u);
        EXPECT_EQ(held.uCallbackMessage, 0x0200u);
        EXPECT_EQ(tipText(held), "Remote" + std::string(57, ' '));
        // Nothing more is sent once the shell has the icon.
        const auto calls = desk.notifyCalls.size();
        desk.elapse(10 * SysTray::RetryIntervalMs);
        EXPECT_EQ(desk.notifyCalls.size(), calls);
    }
}

TEST(SysTray, HideAndDestructionEndTheWaitForTheShell) {
    sim::SimDesktop desk;
    desk.refuseAdds = 100;
    {
        SysTray tray(desk, desk);
        tray.Show();
        ASSERT_TRUE(tray.Waiting());
        tray.Hide();
        EXPECT_FALSE(desk.timerRunning(tray.hWnd(), SysTray::RetryTimerId));
        desk.refuseAdds = 0;
        desk.elapse(5 * SysTray::RetryIntervalMs);
        EXPECT_FALSE(desk.trayIconPresent()) << "a hidden icon came back";

        desk.refuseAdds = 100;
        tray.Show();
        ASSERT_TRUE(tray.Waiting());
    }
    EXPECT_TRUE(desk.calls.back() == "destroyWindow");
    EXPECT_EQ(std::count(desk.calls.begin(), desk.calls.end(), "killTimer 1"), 2);
}

TEST(SysTray, TaskbarCreatedPutsTheIconBackOnceWhateverTheShellStillHolds) {
    const struct {
        const char* name;
        bool shellLostTheIcon; // Explorer started again; otherwise only the taskbar changed
        int refusals;          // adds the new shell refuses while it starts
        int ticksToShow;
    } cases[] = {
        {"Explorer started again", true, 0, 0},
        {"Explorer started again, busy for two adds", true, 2, 2},
        {"the taskbar changed, the icon is still there", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimDesktop desk;
        SysTray tray(desk, desk);
        tray.SetIcon(0x77);
        tray.Show();
        desk.refuseAdds = c.refusals;
        if (c.shellLostTheIcon) {
            desk.restartShell();
        } else {
            desk.broadcast(desk.registeredMessage("TaskbarCreated"), 0, 0);
        }
        desk.pump();
        for (int tick = 0; tick < c.ticksToShow; ++tick) {
            EXPECT_FALSE(desk.trayIconPresent());
            desk.elapse(SysTray::RetryIntervalMs);
        }
        EXPECT_TRUE(desk.trayIconPresent());
        EXPECT_FALSE(tray.Waiting());
        EXPECT_EQ(heldIcon(desk).hIcon, 0x77);
        EXPECT_EQ(std::count_if(desk.notifyCalls.begin(), desk.notifyCalls.end(),
                                [](const sim::NotifyCall& call) { return call.message == NIM_DELETE; }),
                  0);
    }
}

TEST(SysTray, TheWindowLetsTaskbarCreatedInFromTheShellWhereTheFilterExists) {
    for (const bool filterExists : {true, false}) {
        SCOPED_TRACE(filterExists);
        sim::SimDesktop desk;
        desk.messageFilterExists = filterExists;
        SysTray tray(desk, desk);
        const std::uint32_t taskbarCreated = desk.registeredMessage("TaskbarCreated");
        if (filterExists) {
            EXPECT_EQ(desk.allowedMessages[tray.hWnd()], std::vector<std::uint32_t>{taskbarCreated});
        } else {
            EXPECT_TRUE(desk.allowedMessages.empty());
        }
        // Without the call the control works as before.
        tray.Show();
        desk.restartShell();
        desk.pump();
        EXPECT_TRUE(desk.trayIconPresent());
    }
}

TEST(SysTray, CloseAsksTheHolderAndNeverDestroysTheWindow) {
    sim::SimDesktop desk;
    SysTray tray(desk, desk);
    tray.Show();
    desk.send(tray.hWnd(), WM_CLOSE, 0, 0); // no holder listening
    int asked = 0;
    tray.CloseRequested = [&] { ++asked; };
    desk.send(tray.hWnd(), WM_CLOSE, 0, 0);
    EXPECT_EQ(asked, 1);
    EXPECT_NE(desk.window(tray.hWnd()), nullptr);
    EXPECT_TRUE(desk.trayIconPresent());
}
