#include "ui/set_password.h"

#include <string>
#include <utility>

#include "auth/password.h"

namespace varnholt::ui {

SetPassword::SetPassword(WindowFlow& flow)
    : Window(kSetPassword),
      flow_(flow),
      text1_(Get<TextBox>("Text1")),
      text2_(Get<TextBox>("Text2")),
      text3_(Get<TextBox>("Text3")),
      label4_(Get<Label>("Label4")) {
    text1_.on_key_down = [this] { Text1_KeyDown(); };
    Get<CommandButton>("Command1").on_click = [this] { Command1_Click(); };
}

// The first failed check ends the click; nothing is stored and no box is cleared.
void SetPassword::Command1_Click() {
    if (PasswordDigest(text1_.text()) != PasswordHash()) {
        label4_.SetCaption("Current password error");
        return;
    }
    if (text2_.text() != text3_.text()) {
        label4_.SetCaption("Confirm password error");
        return;
    }
    std::string digest = PasswordDigest(text3_.text());
    SavePasswordHash(digest);
    // The password now in force is the one just set, also for a second change in this run.
    PasswordHash() = std::move(digest);
    flow_.Unload(WindowId::kSetPassword);
}

// Any key, also one that changes nothing, clears the message.
void SetPassword::Text1_KeyDown() {
    label4_.SetCaption("");
}

}  // namespace varnholt::ui
