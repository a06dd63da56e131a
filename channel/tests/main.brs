' Runs every group of the channel's logic tests.
sub Main()
    GetGlobalAA().checks = 0
    InstallMocks()
    TestSequence()
    TestErrors()
    TestFinding()
    TestHomeAndFolders()
    TestPrivateFolders()
    TestMusic()
    TestPhotos()
    TestPlayback()
    print "all "; GetGlobalAA().checks.ToStr(); " checks ran"
end sub
