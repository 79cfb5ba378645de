// QuorNdk: the upgrade agent.
int main()
{
    return 0;
}
