tool=${1:-./zem_dma_test} helper=${2:-./exec_empty_argv}
a0=$(cat arg.0; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/0.out 2>r/0.err; echo $? >r/0.status
a0=$(cat arg.1; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/1.out 2>r/1.err; echo $? >r/1.status
a0=$(cat arg.2; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/2.out 2>r/2.err; echo $? >r/2.status
a0=$(cat arg.1; echo x); a0=${a0%x}
a1=$(cat arg.3; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/3.out 2>r/3.err; echo $? >r/3.status
a0=$(cat arg.4; echo x); a0=${a0%x}
a1=$(cat arg.1; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/4.out 2>r/4.err; echo $? >r/4.status
a0=$(cat arg.5; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/5.out 2>r/5.err; echo $? >r/5.status
a0=$(cat arg.5; echo x); a0=${a0%x}
a1=$(cat arg.4; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/6.out 2>r/6.err; echo $? >r/6.status
a0=$(cat arg.6; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/7.out 2>r/7.err; echo $? >r/7.status
a0=$(cat arg.7; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/8.out 2>r/8.err; echo $? >r/8.status
a0=$(cat arg.8; echo x); a0=${a0%x}
a1=$(cat arg.4; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/9.out 2>r/9.err; echo $? >r/9.status
a0=$(cat arg.3; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/10.out 2>r/10.err; echo $? >r/10.status
a0=$(cat arg.3; echo x); a0=${a0%x}
a1=$(cat arg.1; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/11.out 2>r/11.err; echo $? >r/11.status
a0=$(cat arg.4; echo x); a0=${a0%x}
a1=$(cat arg.9; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/12.out 2>r/12.err; echo $? >r/12.status
a0=$(cat arg.4; echo x); a0=${a0%x}
a1=$(cat arg.10; echo x); a1=${a1%x}
a2=$(cat arg.11; echo x); a2=${a2%x}
"$tool" "$a0" "$a1" "$a2" </dev/null >r/13.out 2>r/13.err; echo $? >r/13.status
a0=$(cat arg.12; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/14.out 2>r/14.err; echo $? >r/14.status
"$tool" </dev/null >r/15.out 2>r/15.err; echo $? >r/15.status
a0=$(cat arg.13; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/16.out 2>r/16.err; echo $? >r/16.status
"$helper" "$tool" </dev/null >r/17.out 2>r/17.err; echo $? >r/17.status
a0=$(cat arg.14; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/18.out 2>r/18.err; echo $? >r/18.status
a0=$(cat arg.15; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/19.out 2>r/19.err; echo $? >r/19.status
a0=$(cat arg.16; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/20.out 2>r/20.err; echo $? >r/20.status
a0=$(cat arg.17; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/21.out 2>r/21.err; echo $? >r/21.status
a0=$(cat arg.18; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/22.out 2>r/22.err; echo $? >r/22.status
a0=$(cat arg.19; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/23.out 2>r/23.err; echo $? >r/23.status
a0=$(cat arg.20; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/24.out 2>r/24.err; echo $? >r/24.status
a0=$(cat arg.13; echo x); a0=${a0%x}
a1=$(cat arg.1; echo x); a1=${a1%x}
"$tool" "$a0" "$a1" </dev/null >r/25.out 2>r/25.err; echo $? >r/25.status
a0=$(cat arg.21; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/26.out 2>r/26.err; echo $? >r/26.status
a0=$(cat arg.4; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/27.out 2>r/27.err; echo $? >r/27.status
a0=$(cat arg.4; echo x); a0=${a0%x}
a1=$(cat arg.22; echo x); a1=${a1%x}
a2=$(cat arg.23; echo x); a2=${a2%x}
a3=$(cat arg.24; echo x); a3=${a3%x}
"$tool" "$a0" "$a1" "$a2" "$a3" </dev/null >r/28.out 2>r/28.err; echo $? >r/28.status
a0=$(cat arg.13; echo x); a0=${a0%x}
a1=$(cat arg.4; echo x); a1=${a1%x}
a2=$(cat arg.9; echo x); a2=${a2%x}
"$tool" "$a0" "$a1" "$a2" </dev/null >r/29.out 2>r/29.err; echo $? >r/29.status
a0=$(cat arg.5; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/30.out 2>r/30.err 1>&-; echo $? >r/30.status
a0=$(cat arg.5; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/31.out 2>r/31.err 1>/dev/full; echo $? >r/31.status
a0=$(cat arg.0; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/32.out 2>r/32.err 1>/dev/full; echo $? >r/32.status
a0=$(cat arg.4; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/33.out 2>r/33.err 1>&-; echo $? >r/33.status
a0=$(cat arg.4; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/34.out 2>r/34.err 1>/dev/full; echo $? >r/34.status
a0=$(cat arg.4; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/35.out 2>r/35.err 1>/dev/full 2>/dev/full; echo $? >r/35.status
a0=$(cat arg.3; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/36.out 2>r/36.err 1>&-; echo $? >r/36.status
a0=$(cat arg.3; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/37.out 2>r/37.err 2>&-; echo $? >r/37.status
a0=$(cat arg.3; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/38.out 2>r/38.err 2>/dev/full; echo $? >r/38.status
"$tool" </dev/null >r/39.out 2>r/39.err 2>&-; echo $? >r/39.status
a0=$(cat arg.20; echo x); a0=${a0%x}
"$tool" "$a0" </dev/null >r/40.out 2>r/40.err 2>/dev/full; echo $? >r/40.status
echo 41 >r/done
