// The program's entry on Qt; LinuxMain (linux_main.cpp, which tests run too) calls WinMain.
int LinuxMain(int argc, char **argv);

int main(int argc, char **argv) {
    return LinuxMain(argc, argv);
}
