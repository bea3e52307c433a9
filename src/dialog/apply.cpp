// TODO: being written
#include "dialog/apply.hpp"
void applySetup(const ApplySet &) {}
