// SPDX-License-Identifier: MIT
// File > "Commission a series…": the dialog over the main window, on its
// port. The item is enabled, like the other module items, only while the
// module is connected and no transaction runs.

#include "main/window/commission_dialog.h"
#include "main/window/form_config.h"
#include "main/window/main_form.h"
#include "main/window/main_window.h"

namespace varnolink {

void TMainWindow::OpenCommissionDialog()
{
    auto* Dialog = new TCommissionDialog(
        *Form_, [this] { return ShownConfig(*Form_); }, this);
    Dialog->setAttribute(Qt::WA_DeleteOnClose);
    Dialog->show();
}

}  // namespace varnolink
