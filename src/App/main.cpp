#include "App/KorvalenAIApp.h"

int main(int argc, char** argv)
{
    return korvalen::KorvalenAIApp::main(argc, argv);
}
