#include "gui/WindowProgram.h"

int main(int argc, char *argv[])
{
    return runWindowProgram(argc, argv, {QUILLAN_APP_NAME, QUILLAN_CAPTION, QUILLAN_VERSION, QUILLAN_DESKTOP_ID});
}
