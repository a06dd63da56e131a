' The channel's entry point: shows the scene and hands it the server's
' address when the server launched the channel ("adrs=IP-PORT").
sub Main(args as dynamic)
    screen = CreateObject("roSGScreen")
    port = CreateObject("roMessagePort")
    screen.setMessagePort(port)
    launch = ""
    if args <> invalid and args.adrs <> invalid then launch = args.adrs
    globals = screen.getGlobalNode()
    globals.addFields({adrs: launch})
    screen.CreateScene("HomeScene")
    screen.show()
    while true
        msg = wait(0, port)
        if type(msg) = "roSGScreenEvent" and msg.isScreenClosed() then return
    end while
end sub
