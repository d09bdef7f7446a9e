ifconfig eth0 hw ether 02:00:00:00:00:01
