gnpbench ; set and get of distinct short nodes, timed
 new n,i,x,t0,t1,t2
 set n=+$zcmdline set:n<1 n=50000
 kill ^B
 set t0=$zut for i=1:1:n set ^B(i)="value"
 set t1=$zut for i=1:1:n set x=^B(i)
 set t2=$zut
 write "set ",n*1000000\(t1-t0),!,"get ",n*1000000\(t2-t1),!
 kill ^B
 quit
