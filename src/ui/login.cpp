#include "ui/login.h"

#include "auth/password.h"

namespace varnholt::ui {

Login::Login(WindowFlow& flow)
    : Window(kLogin), flow_(flow), text1_(Get<TextBox>("Text1")), label1_(Get<Label>("Label1")) {
    Get<CommandButton>("Command1").on_click = [this] { Command1_Click(); };
}

void Login::Form_Load() {
    LoadPasswordHash();
}

void Login::Command1_Click() {
    if (PasswordDigest(text1_.text()) != PasswordHash()) {
        label1_.SetCaption("Error password");
        return;
    }
    // The main window is up before this one goes, so the process never runs out of windows.
    flow_.ShowModeless(WindowId::kForm1);
    flow_.Unload(WindowId::kLogin);
}

}  // namespace varnholt::ui
