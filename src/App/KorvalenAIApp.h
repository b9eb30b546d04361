#pragma once

namespace korvalen {

// The application: one delegate, one store, one main window, for the life of the process.
class KorvalenAIApp {
public:
    static int main(int argc, char** argv);
};

}  // namespace korvalen
