// A pi program of a portable tree: its code, built for several processor levels, is a private
// library that the loader chooses by the processor (pi/CMakeLists.txt).
int suite_program_main(int argc, char** argv);

int main(int argc, char** argv) { return suite_program_main(argc, argv); }
