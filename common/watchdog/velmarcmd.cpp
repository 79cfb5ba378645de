// velmarcmd: the process supervisor.
int main()
{
    return 0;
}
