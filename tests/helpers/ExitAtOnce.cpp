// Test program: a "build" of the service that ends as soon as it starts,
// with the service's version resource, as a new build that cannot run.
int main() { return 1; }
