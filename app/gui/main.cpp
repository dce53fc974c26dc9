// flashkeel: the Qt 6 GUI program.
#include "app/gui/GuiApp.h"

int main(int argc, char** argv) {
  // Operations join here as their subsystems land; an empty entry keeps its
  // button or menu item disabled.
  fk::gui::GuiActions actions;
  return fk::gui::GuiMain(argc, argv, actions);
}
