/* A program that only carries a manifest for the manifest check to read. */
int main(void) {
    return 0;
}
