#pragma once

// The one program-wide cancel flag: progress and send-error dialogs set it, and every
// long loop polls it after each step. Everything runs on the user-interface thread.

namespace app {

bool Cancelled();
void SetCancelled(bool cancelled);

}  // namespace app
