// velmard: the endpoint's main daemon.
int main()
{
    return 0;
}
