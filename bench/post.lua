-- wrk script: POSTs the SOAP bodies in the files given after "--", one after the other, each
-- on a new connection ("Connection: close"); an optional "auth=<base64 of user:password>"
-- argument adds Basic credentials, "path=<p>" posts to p instead of "/". Prints one "RESULT" line for run.sh.
local bodies = {}
local auth = nil
local path = '/'
local requests = {}
local next_index = 1

function init(args)
    for _, a in ipairs(args) do
        if a:sub(1, 5) == 'auth=' then
            auth = a:sub(6)
        elseif a:sub(1, 5) == 'path=' then
            path = a:sub(6)
        else
            local f = assert(io.open(a, 'rb'))
            bodies[#bodies + 1] = f:read('*a')
            f:close()
        end
    end
    local headers = { ['Content-Type'] = 'text/xml; charset=utf-8', ['Connection'] = 'close' }
    if auth then headers['Authorization'] = 'Basic ' .. auth end
    for i, b in ipairs(bodies) do
        requests[i] = wrk.format('POST', path, headers, b)
    end
    -- Threads start at different bodies so that a short run still spreads over all of them.
    next_index = math.random(#requests)
end

function request()
    local r = requests[next_index]
    next_index = next_index % #requests + 1
    return r
end

function done(summary, latency, requests)
    local e = summary.errors
    io.write(string.format('RESULT %d %.1f %.3f %.3f %d %d\n', summary.requests,
        summary.requests / (summary.duration / 1e6), latency:percentile(50) / 1000,
        latency:percentile(99) / 1000, e.connect + e.read + e.write + e.timeout, e.status))
end
