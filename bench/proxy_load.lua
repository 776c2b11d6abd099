-- wrk script for bench/compare.sh: wrk connects to the proxy's port and sends
-- a proxy request for BENCH_TARGET (an absolute http:// URL) with "Connection: close",
-- one request per connection. done() prints one line for the script to read:
--   RESULT requests=N duration_us=N connect=N read=N write=N status=N timeout=N non200=N kept=N
--          latency_us=N p99_us=N
-- non200 counts answers whose status is not 200; kept counts answers that did not say
-- "Connection: close": wrk then tries the next request on that connection and meets
-- the proxy's close as one read or write error, which the script subtracts.

local target = os.getenv("BENCH_TARGET")
local threads = {}

function setup(thread)
    table.insert(threads, thread)
end

function init(args)
    local host = target:match("^http://([^/]+)")
    req = wrk.format("GET", target, { ["Host"] = host, ["Connection"] = "close" })
    non200 = 0
    kept = 0
end

function request()
    return req
end

function response(status, headers, body)
    if status ~= 200 then
        non200 = non200 + 1
    end
    local closing = false
    for name, value in pairs(headers) do
        if name:lower() == "connection" and value:lower():find("close", 1, true) then
            closing = true
        end
    end
    if not closing then
        kept = kept + 1
    end
end

function done(summary, latency, requests)
    local n, k = 0, 0
    for _, thread in ipairs(threads) do
        n = n + thread:get("non200")
        k = k + thread:get("kept")
    end
    local e = summary.errors
    io.write(string.format(
        "RESULT requests=%d duration_us=%d connect=%d read=%d write=%d status=%d timeout=%d non200=%d kept=%d latency_us=%d p99_us=%d\n",
        summary.requests, summary.duration, e.connect, e.read, e.write, e.status, e.timeout, n, k,
        latency.mean, latency:percentile(99)))
end
