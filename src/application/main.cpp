#include "application/application.h"

int main(int argc, char **argv)
{
    return runAckmereProbe(argc, argv);
}
