// Program flow: start-up, message loop and shutdown, in their fixed order.
int main() { return 0; }
