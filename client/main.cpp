#include "client/HelperClientMain.h"

int main(int argc, char** argv) { return quillmere::client::HelperClientMain::main(argc, argv); }
