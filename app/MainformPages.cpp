// The settings pages: speed dials, A2DP and GPS mix, GPS sharing.
#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"

namespace app {

using resources::LoadText;
using toolkit::qt::Q;

void TMajorForm::UpdateSharingText() {
  GPSAudioSharingLabeledEdit->setText(Q(
      LoadText(GPSAudioSharingUpDown->Position() == 0 ? resources::kTextNo : resources::kTextYes)));
}

}  // namespace app
