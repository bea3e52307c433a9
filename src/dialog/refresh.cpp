// TODO: being written
#include "dialog/refresh.hpp"
void refreshStudioList(QLineEdit *, QComboBox *, QLabel *) {}
