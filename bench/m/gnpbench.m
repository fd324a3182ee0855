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
 ;
many ; one of many clients: mumps -run many^gnpbench START END ($ZUT microseconds)
 ; Connects (its first global reference) before START, then sets and reads back its own nodes
 ; ^M($JOB,i) from START to END. Prints "ops N late 0|1 wrong W": N counts the sets and gets
 ; that ended by END; late is 1 when the process was not ready by START (it then ran a shorter
 ; window, and the sum of the rates is too low); W counts values read back wrong.
 new start,end,late,ops,wrong,i,x
 set start=+$piece($zcmdline," ",1),end=+$piece($zcmdline," ",2)
 kill ^M($job) set x=$data(^M($job))
 set late=$zut>start,(ops,wrong)=0
 for  quit:$zut'<start  hang 0.001
 for i=1:1 set ^M($job,i)="value",x=^M($job,i) set:x'="value" wrong=wrong+1 quit:$zut'<end  set ops=ops+2
 write "ops ",ops," late ",late," wrong ",wrong,!
 kill ^M($job)
 quit
