// The three configuration transactions. Not written yet: until they are, the
// three buttons do nothing.

#include "main/window/main_form.h"

void TMainForm::ReadConfigClick()
{
}

void TMainForm::SaveConfigClick()
{
}

void TMainForm::SaveToDefaultClick()
{
}
