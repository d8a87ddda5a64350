# Lists A.app, then waits (10 s at most) for /fake/go before listing B.app.
d=$(dirname "$0"); r=$(dirname "$d")
echo "$r/Applications/A.app"; touch "$d/started"; i=0
while [ ! -e "$d/go" ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done
echo "$r/Applications/B.app"
