#include "launch/launch.h"

// ackmereprobe-nox: the probe without a window, and without linking one.
int main(int argc, char **argv)
{
    return launch(argc, argv, Front::NoWindow).status;
}
