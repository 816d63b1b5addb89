#include "modMain.h"

#include "MainForm.h"

void modMain::Main(platform::Platform& platform) {
    // One copy per session: two would both read the receiver and forward every key twice. A mutex that
    // cannot be made at all (no such object in the session, say) does not keep the program from running.
    bool anotherCopy = false;
    const std::intptr_t oneCopy = platform.kernel32.createMutex(OneCopyMutex, anotherCopy);
    if (anotherCopy) {
        if (oneCopy != 0) {
            platform.kernel32.closeHandle(oneCopy);
        }
        return;
    }
    {
        MainForm form(platform);
        // The first reference to the form loads it.
        form.Load();
        SysTray& tray = *form.SysTray1;
        tray.SetIcon(form.Icon);
        tray.Show();
        // Everything else happens in handlers, until the form is unloaded.
        platform.user32.runMessageLoop();
    }
    if (oneCopy != 0) {
        platform.kernel32.closeHandle(oneCopy);
    }
}
