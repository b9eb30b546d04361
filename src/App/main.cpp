#include "App/KorvalenAIApp.h"
#include "Model/KorvalenAILogger.h"

int main(int argc, char** argv)
{
    // Started with a standard descriptor closed, the first file opened would take its place and
    // receive the log lines.
    korvalen::KorvalenAILogger::claimStandardDescriptors();
    return korvalen::KorvalenAIApp::main(argc, argv);
}
