' Waits for jobs and answers each with its result; after each job it
' publishes the cookie that media nodes send with their requests.
sub init()
    m.top.functionName = "RunJobs"
end sub

sub RunJobs()
    port = CreateObject("roMessagePort")
    m.top.observeField("job", port)
    ctx = NewJobContext()
    while true
        msg = wait(0, port)
        if type(msg) = "roSGNodeEvent" then
            job = msg.getData()
            result = DoJob(ctx, job)
            result.id = job.id
            if ctx.conn <> invalid then m.top.cookie = MediaCookie(ctx.conn)
            m.top.result = result
        end if
    end while
end sub
