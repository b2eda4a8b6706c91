// The sonvel-gui program: the desktop window over the main controller.

int main() {
    return 0;
}
