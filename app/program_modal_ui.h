#pragma once

#include "app/form1.h"

class TForm2;
class Tadvsm;

namespace app {

// The real modal moments: the close-code dialog, the notice popup and
// message boxes titled with the application's title.
class ProgramModalUi : public ModalUi {
 public:
  TForm2* Form2 = nullptr;
  Tadvsm* Advsm = nullptr;

  CodeResult AskCloseCode(const QString& closeCode) override;
  void ShowNotice(const QString& text) override;
  void ShowMissingSettings() override;
  void ShowError(const QString& text) override;
};

extern const char* const kApplicationTitle;

}  // namespace app
