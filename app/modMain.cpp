#include "modMain.h"

#include "MainForm.h"

void modMain::Main(platform::Platform& platform) {
    MainForm form(platform);
    // The first reference to the form loads it.
    form.Load();
    SysTray& tray = *form.SysTray1;
    tray.SetIcon(form.Icon);
    tray.Show();
    // Everything else happens in handlers, until the exit item unloads the form.
    platform.user32.runMessageLoop();
}
