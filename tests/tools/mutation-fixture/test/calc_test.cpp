int add(int a, int b);
int main() { return add(2, 3) == 5 ? 0 : 1; }
