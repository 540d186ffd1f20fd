// The consumer's own program: it only has to exist beside the updater.
int main() {
    return 0;
}
