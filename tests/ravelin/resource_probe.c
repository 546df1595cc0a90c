/* A program that only carries resources for the dialog check to read. */
int main(void) {
    return 0;
}
