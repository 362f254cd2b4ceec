#include "app/Entry.hpp"

int main(int argc, char** argv) { return pokescope::Entry::main(argc, argv); }
