// A program on the simulated desktop: the main form over the sim adapters, Config.ini in a temporary folder
// read by our own profile reader, a scripted HID library and an in-memory WinInet. The user's folders
// (%APPDATA%, %LOCALAPPDATA%) are folders of the same temporary folder, with real files; file rights and the
// data protection are scripted (SimSecurity), and so is the settings window.
#pragma once

#include "FileLog.h"
#include "MainForm.h"
#include "platform/posix/PosixFiles.h"
#include "platform/posix/ProfileReader.h"
#include "platform/sim/ScriptedHidLibrary.h"
#include "platform/sim/SimDesktop.h"
#include "platform/sim/SimSecurity.h"
#include "platform/sim/SimSettingsWindow.h"
#include "platform/sim/SimWinInet.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

class AppTest : public ::testing::Test {
  protected:
    AppTest() {
        char pattern[] = "/tmp/tavrelmond-test-XXXXXX";
        folder = mkdtemp(pattern);
        desk.exeFolder = folder;
        desk.profileReader = platform::posix::getPrivateProfileString;
        files.folders[platform::KnownFolder::RoamingAppData] = folder + "/Roaming";
        files.folders[platform::KnownFolder::LocalAppData] = folder + "/Local";
        desk.sectionReader = platform::posix::getPrivateProfileSection;
        desk.sectionNamesReader = platform::posix::getPrivateProfileSectionNames;
    }
    ~AppTest() override {
        form.reset();
        std::filesystem::remove_all(folder);
    }

    void writeConfig(const std::string& body) {
        std::ofstream(folder + "/Config.ini") << "[Tavrelmond Config]\r\n" << body;
    }
    // The user's own Config.ini (%APPDATA%\Tavrelmond), written as the user's editor would (ANSI).
    void writeUserConfig(const std::string& body) {
        std::filesystem::create_directories(folder + "/Roaming/Tavrelmond");
        std::ofstream(userConfigPath()) << "[Tavrelmond Config]\r\n" << body;
    }
    std::string userConfigPath() const { return folder + "/Roaming/Tavrelmond/Config.ini"; }
    // The program's paths of the two files (as the program spells them).
    std::string machinePath() const { return folder + "\\Config.ini"; }
    std::string userPath() const { return folder + "/Roaming\\Tavrelmond\\Config.ini"; }
    // A file's text as UTF-8, whatever its encoding.
    std::string readText(const std::string& path) { return files.readText(path).value_or("<missing>"); }

    // Creates and loads the form (Form_Load runs).
    MainForm& load() {
        form = std::make_unique<MainForm>(platform);
        form->Load();
        return *form;
    }

    // The whole start-up routine with the program's log file (in %LOCALAPPDATA%\Tavrelmond).
    MainForm& startLogged() {
        log = std::make_unique<FileLog>(files, folder + "/Local\\Tavrelmond");
        form = std::make_unique<MainForm>(platform);
        form->SetLog(*log);
        form->Load();
        return showIcon();
    }
    std::string logText() { return readText(folder + "/Local/Tavrelmond/Tavrelmond.log"); }

    // The whole start-up routine: load, icon, show.
    MainForm& start() {
        load();
        return showIcon();
    }
    MainForm& showIcon() {
        form->SysTray1->SetIcon(form->Icon);
        form->SysTray1->Show();
        return *form;
    }

    // The library posts a notification to the form; the message loop delivers it.
    void notify(std::uintptr_t wParam, std::intptr_t handle) {
        desk.postMessage(form->hWnd(), platform::HidNotifyMessage, wParam, handle);
        desk.pump();
    }

    // One report from the receiver: code is report byte 2, value byte is report byte 4.
    void report(std::int32_t handle, std::uint8_t code, std::uint8_t valueByte = 0x41) {
        hid.queueReport(handle, {0, 0, code, 0, valueByte, 0});
        notify(platform::HidNotifyRead, handle);
    }

    std::int32_t normalIcon() const { return desk.icons.at(MainForm::NormalIconResource); }
    std::int32_t alternateIcon() const { return desk.icons.at(MainForm::AlternateIconResource); }

    std::string folder;
    sim::SimDesktop desk;
    sim::ScriptedHidLibrary hid;
    platform::SimWinInet inet;
    platform::posix::PosixFiles files;
    sim::SimSecurity security;
    sim::SimSettingsWindow settingsWindow;
    platform::Platform platform{desk,    desk,  desk,    desk,   desk,      inet,           hid,
                                nullptr, &desk, nullptr, &files, &security, &settingsWindow};
    std::unique_ptr<FileLog> log; // outlives the form that writes to it
    std::unique_ptr<MainForm> form;
};

// The receiver's IDs (USB 045E:0284) in the configuration's decimal form.
inline constexpr const char* ReceiverIds = "VendorID=1118\r\nProductID=644\r\n";
// A mode whose settings are all good and whose status line is XBMC's own (API 0): XBMC's web server.
inline constexpr const char* XbmcWebServer =
    "APIControlXBMCOPENGL=false\r\nIP Address=localhost\r\nport=8080\r\n";
