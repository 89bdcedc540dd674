// Process entry; the command line arrives with the front end.
int main() { return 3; }
